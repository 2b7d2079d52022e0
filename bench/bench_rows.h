// The results of kyt_bench, one row per measurement, and how they are
// reported: a table on standard output, the targets, and CSV.
#ifndef KYT_BENCH_ROWS_H
#define KYT_BENCH_ROWS_H

#include <cstdint>
#include <string>
#include <vector>

namespace kytbench {

// The most readers measured in parallel.
constexpr unsigned kMaxReaders = 16;

// One line of the results; negative values are "not applicable".
struct Row {
    std::string section;
    std::string name;
    uint32_t bps = 0;
    unsigned readers = 0;
    unsigned samples = 0;
    double measuredMs = -1;
    double floorMs = -1; // the same frames replayed by a bare host
    double wireMs = -1;
    double ratio = -1;
    double cpuUs = -1;
    double cpuSharePct = -1;
    double ratePerSecond = -1;
    double expectedRate = -1;
    double minReaderRatio = -1;
};

extern std::vector<Row> g_rows;

// Ends the benchmark with a message: a library call or the simulated reader failed.
[[noreturn]] void Die(const std::string &what);

void PrintTable();
void PrintTargets();
void WriteCsv(const std::string &path);

} // namespace kytbench

#endif
