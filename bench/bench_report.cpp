// kyt_bench's report: the table, the targets and the CSV file.
#include "bench_rows.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kytbench {

std::vector<Row> g_rows;

[[noreturn]] void Die(const std::string &what)
{
    std::fprintf(stderr, "kyt_bench: %s\n", what.c_str());
    std::exit(1);
}

namespace {

// A table cell: the value with `decimals` digits after the point, or "-"
// where the value does not apply.
std::string Cell(double value, int decimals)
{
    if (value < 0)
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// A CSV field: the value in six significant digits, empty where it does not
// apply.
std::string CsvNumber(double value)
{
    if (value < 0)
        return std::string();
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

const Row *FindRow(const std::string &section, const std::string &prefix, uint32_t bps, unsigned readers = 1)
{
    for (const Row &r : g_rows) {
        if (r.section == section && r.name.rfind(prefix, 0) == 0 && r.bps == bps && r.readers == readers)
            return &r;
    }
    return nullptr;
}

} // namespace

void PrintTable()
{
    std::string section;
    for (const Row &r : g_rows) {
        if (r.section != section) {
            section = r.section;
            std::printf("\n");
            if (section == "exchange")
                std::printf("%-36s %7s %5s %11s %11s %11s %7s %7s\n", "exchange (paced line)", "bit/s", "runs",
                            "measured ms", "bare ms", "wire ms", "ratio", "bare/w");
            else if (section == "adapter")
                std::printf("%-36s %7s %5s %11s %11s %7s\n", "behind a USB adapter (paced line)", "bit/s", "runs",
                            "measured ms", "wire ms", "ratio");
            else if (section == "cpu")
                std::printf("%-36s %7s %5s %11s %11s %9s %8s\n", "host CPU per exchange (unpaced)", "ref bit/s", "runs",
                            "wall ms", "wire ms", "CPU us", "of wire");
            else if (section == "parallel")
                std::printf("%-36s %7s %7s %11s %11s %7s %11s\n", "parallel readers (paced line)", "bit/s", "readers",
                            "exch/s", "N x single", "ratio", "slowest/1");
            else if (section == "open")
                std::printf("%-36s %7s %5s %11s\n", "open (paced line)", "bit/s", "runs", "ms");
        }
        if (section == "exchange")
            std::printf("%-36s %7u %5u %11s %11s %11s %7s %7s\n", r.name.c_str(), r.bps, r.samples,
                        Cell(r.measuredMs, 2).c_str(), Cell(r.floorMs, 2).c_str(), Cell(r.wireMs, 2).c_str(),
                        Cell(r.ratio, 4).c_str(), Cell(r.floorMs / r.wireMs, 4).c_str());
        else if (section == "adapter")
            std::printf("%-36s %7u %5u %11s %11s %7s\n", r.name.c_str(), r.bps, r.samples,
                        Cell(r.measuredMs, 2).c_str(), Cell(r.wireMs, 2).c_str(), Cell(r.ratio, 3).c_str());
        else if (section == "cpu")
            std::printf("%-36s %9u %5u %11s %11s %9s %7s%%\n", r.name.c_str(), r.bps, r.samples,
                        Cell(r.measuredMs, 3).c_str(), Cell(r.wireMs, 2).c_str(), Cell(r.cpuUs, 1).c_str(),
                        Cell(r.cpuSharePct, 3).c_str());
        else if (section == "parallel")
            std::printf("%-36s %7u %7u %11s %11s %7s %11s\n", r.name.c_str(), r.bps, r.readers,
                        Cell(r.ratePerSecond, 1).c_str(), Cell(r.expectedRate, 1).c_str(), Cell(r.ratio, 4).c_str(),
                        Cell(r.minReaderRatio, 4).c_str());
        else if (section == "open")
            std::printf("%-36s %7u %5u %11s\n", r.name.c_str(), r.bps, r.samples, Cell(r.measuredMs, 1).c_str());
    }
}

// The three targets, reported (never enforced: the machine's load is not the
// library's fault).
void PrintTargets()
{
    std::printf("\ntargets\n");
    if (const Row *r = FindRow("exchange", "apdu-261 ", 115200))
        std::printf("  261-byte APDU at 115200 bit/s: %.4f x wire time (target <= 1.03): %s\n", r->ratio,
                    r->ratio <= 1.03 ? "met" : "NOT met");
    if (const Row *r = FindRow("cpu", "apdu-5", 115200))
        std::printf("  host CPU per short exchange: %.3f %% of its wire time at 115200 bit/s (target <= 1 %%): %s\n",
                    r->cpuSharePct, r->cpuSharePct <= 1.0 ? "met" : "NOT met");
    if (const Row *r = FindRow("parallel", "apdu-261", 115200, kMaxReaders))
        std::printf("  16 readers in parallel: slowest keeps %.4f of single-reader throughput (target >= 0.95): %s\n",
                    r->minReaderRatio, r->minReaderRatio >= 0.95 ? "met" : "NOT met");
}

void WriteCsv(const std::string &path)
{
    FILE *file = std::fopen(path.c_str(), "w");
    if (file == nullptr)
        Die("cannot write " + path + ": " + std::strerror(errno));
    std::fprintf(file,
                 "section,case,bps,readers,samples,measured_ms,bare_host_ms,wire_ms,ratio,cpu_us,cpu_share_pct,"
                 "rate_per_s,expected_rate_per_s,min_reader_ratio\n");
    for (const Row &r : g_rows)
        std::fprintf(file, "%s,\"%s\",%u,%u,%u,%s,%s,%s,%s,%s,%s,%s,%s,%s\n", r.section.c_str(), r.name.c_str(), r.bps,
                     r.readers, r.samples, CsvNumber(r.measuredMs).c_str(), CsvNumber(r.floorMs).c_str(),
                     CsvNumber(r.wireMs).c_str(), CsvNumber(r.ratio).c_str(), CsvNumber(r.cpuUs).c_str(),
                     CsvNumber(r.cpuSharePct).c_str(), CsvNumber(r.ratePerSecond).c_str(),
                     CsvNumber(r.expectedRate).c_str(), CsvNumber(r.minReaderRatio).c_str());
    std::fclose(file);
}

} // namespace kytbench
