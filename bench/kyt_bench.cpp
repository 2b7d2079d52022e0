// kyt_bench: how close the library comes to the limit of its serial line.
//
// The reader at the other end is the simulated reader with line pacing on:
// every byte takes 10 bit-times in each direction, so an exchange can be no
// faster than the frames it needs on the wire.  Each measurement is set
// against that wire time:
//   - time per APDU exchange at 9600 and 115200 bit/s, and its ratio to the
//     wire time of every frame the exchange put on the line (command frames,
//     acknowledges, response frames, continuation requests);
//   - the short exchanges at 115200 bit/s behind a USB-serial adapter's
//     latency timer (16 ms, 1 ms, none);
//   - host CPU time per exchange (user + system of the calling thread) on an
//     unpaced link, and its share of the wire time at 115200 bit/s;
//   - aggregate throughput of 1 to 16 paced readers, one thread each;
//   - the time to open a reader at each of the five port speeds.
//
// Usage: kyt_bench [--quick] [--csv FILE] [--section NAME]
// Exits non-zero only when the simulated reader or a library call fails.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_rows.h"
#include "kyt.h"
#include "sim_reader.h"

namespace {

using Clock = std::chrono::steady_clock;
using kytsim::Bytes;

constexpr double kBitsPerByte = 10.0; // 8N1: start bit, eight data bits, stop bit
constexpr KYT_ULONG kSlot = 0;
constexpr size_t kLongResponse = 4096; // data bytes of the chained response
constexpr size_t kResponseBlock = 256; // the reader's response block size
constexpr uint8_t kReadBinary = 0xB0;  // the one instruction the card answers at length
constexpr uint32_t kPortSpeeds[] = {9600, 19200, 38400, 57600, 115200};
constexpr unsigned kReaderCounts[] = {1, 2, 4, 8, 16};

struct Options {
    bool quick = false;
    std::string csv;
    std::string section; // empty: all
};

using kytbench::Die;
using kytbench::g_rows;
using kytbench::kMaxReaders;
using kytbench::Row;

double Median(std::vector<double> values)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

double WireSeconds(size_t bytes, uint32_t bps)
{
    return static_cast<double>(bytes) * kBitsPerByte / bps;
}

double ThreadCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Every byte the simulated reader saw or sent since its log was cleared, in
// both directions: whole frames, and stray bytes if there were any.
size_t LoggedWireBytes(const kytsim::SimReader &sim, size_t *frames)
{
    size_t bytes = 0;
    std::vector<kytsim::LogEntry> log = sim.Log();
    for (const kytsim::LogEntry &entry : log)
        bytes += entry.bytes.size();
    *frames = log.size();
    return bytes;
}

// A card that answers READ BINARY with 4 KiB and everything else with 90 00.
kytsim::Card BenchCard()
{
    kytsim::Card card;
    card.atr = {0x3B, 0x5F, 0x11, 0x00};
    for (uint8_t i = 0; i < 15; i++)
        card.atr.push_back(static_cast<uint8_t>(0x40 + i));
    card.handler = [](const Bytes &apdu) {
        Bytes answer;
        if (apdu.size() >= 2 && apdu[1] == kReadBinary) {
            answer.resize(kLongResponse);
            for (size_t i = 0; i < answer.size(); i++)
                answer[i] = static_cast<uint8_t>(i);
        }
        answer.push_back(0x90);
        answer.push_back(0x00);
        return answer;
    };
    return card;
}

struct Case {
    const char *name;
    Bytes apdu;
};

// Command APDUs of 5, 261, 262 and 600 bytes with short responses (the block
// size is 261, so 262 and 600 go in two and three blocks), and a 5-byte READ
// BINARY whose 4 KiB response comes in chained blocks.
std::vector<Case> Cases()
{
    auto update = [](size_t size) {
        Bytes apdu = {0x00, 0xD6, 0x00, 0x00};
        while (apdu.size() < size)
            apdu.push_back(static_cast<uint8_t>(apdu.size()));
        return apdu;
    };
    return {
        {"apdu-5", {0x00, 0xA4, 0x04, 0x00, 0x00}},
        {"apdu-261", update(261)},
        {"apdu-262", update(262)},
        {"apdu-600", update(600)},
        {"response-4k", {0x00, kReadBinary, 0x00, 0x00, 0x00}},
    };
}

// A simulated reader with the bench card in slot 0, opened by the library at
// 9600 bit/s and then moved to `bps` (quicker than letting detection scan).
struct Rig {
    std::unique_ptr<kytsim::SimReader> sim;
    ReaderHandle handle = nullptr;

    ~Rig()
    {
        if (handle != nullptr)
            KYT_Close(handle);
    }
};

std::unique_ptr<Rig> OpenRig(uint32_t bps, bool pace, std::chrono::milliseconds adapterLatency = {})
{
    auto rig = std::make_unique<Rig>();
    kytsim::Config config;
    config.pace = pace;
    config.adapterLatency = adapterLatency;
    config.maxResponseBlock = kResponseBlock;
    rig->sim = std::make_unique<kytsim::SimReader>(config);
    rig->sim->InsertCard(kSlot, BenchCard());
    std::string error;
    if (!rig->sim->Start(&error))
        Die("simulated reader did not start: " + error);
    KYT_STATUS status = KYT_OpenA(rig->sim->PortPath().c_str(), &rig->handle);
    if (status != 0)
        Die("KYT_OpenA failed with " + std::to_string(status));
    if ((status = KYT_SetBaudRate(rig->handle, bps)) != 0)
        Die("KYT_SetBaudRate failed with " + std::to_string(status));
    unsigned char atr[64];
    KYT_ULONG atrLength = sizeof atr;
    if ((status = KYT_PowerOnIcc(rig->handle, kSlot, atr, &atrLength)) != 0)
        Die("KYT_PowerOnIcc failed with " + std::to_string(status));
    return rig;
}

void Exchange(ReaderHandle handle, const Bytes &apdu, std::vector<unsigned char> &response)
{
    KYT_ULONG length = response.size();
    KYT_STATUS status = KYT_ExchangeApdu(handle, kSlot, apdu.data(), apdu.size(), response.data(), &length);
    if (status != 0)
        Die("KYT_ExchangeApdu failed with " + std::to_string(status));
    if (length < 2 || response[length - 2] != 0x90 || response[length - 1] != 0x00)
        Die("unexpected response of " + std::to_string(length) + " bytes");
}

// One host frame of an exchange and the number of bytes the reader sent
// back to it.
struct Step {
    Bytes out;
    size_t in = 0;
};

std::vector<Step> LoggedSteps(const kytsim::SimReader &sim)
{
    std::vector<Step> steps;
    for (const kytsim::LogEntry &entry : sim.Log()) {
        if (entry.direction == kytsim::Direction::HostToReader)
            steps.push_back(Step{entry.bytes, 0});
        else if (!steps.empty())
            steps.back().in += entry.bytes.size();
    }
    return steps;
}

// Replays an exchange's frames with the barest host there can be: one write
// per frame, then reads, each after a poll, until the reader's bytes are in.
// What this needs beyond the wire time is the rig's own cost (the
// simulator's timing, the pty, the scheduler); what the library needs beyond
// it is the library's.  The library keeps the port open meanwhile, idle, and
// the line settings are the ones it set.
double ReplaySeconds(int fd, const std::vector<Step> &steps)
{
    uint8_t buffer[4096];
    Clock::time_point start = Clock::now();
    for (const Step &step : steps) {
        if (write(fd, step.out.data(), step.out.size()) != static_cast<ssize_t>(step.out.size()))
            Die("replay: write failed");
        for (size_t got = 0; got < step.in;) {
            pollfd port = {fd, POLLIN, 0};
            if (poll(&port, 1, 5000) != 1)
                Die("replay: the reader did not answer");
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0)
                Die("replay: read failed");
            got += static_cast<size_t>(n);
        }
    }
    return Seconds(Clock::now() - start);
}

// A descriptor of this process that has the port open.  The library holds
// the port for itself, so the replay takes no second open: it writes
// through a descriptor that is already there, on the same tty with the
// settings the library set, while the library is idle.
int DescriptorOf(const std::string &path)
{
    for (int fd = 0; fd < 1024; fd++) {
        char link[64];
        char target[PATH_MAX];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        ssize_t length = readlink(link, target, sizeof target - 1);
        if (length > 0 && std::string(target, static_cast<size_t>(length)) == path)
            return fd;
    }
    return -1;
}

// Time per exchange on a paced line against the wire time of its frames.
void MeasureExchanges(const Options &options)
{
    std::vector<unsigned char> response(kLongResponse + 64);
    for (uint32_t bps : {9600u, 115200u}) {
        std::unique_ptr<Rig> rig = OpenRig(bps, true);
        for (const Case &c : Cases()) {
            unsigned reps = options.quick ? 1 : (bps == 9600 ? 3 : 15);
            std::vector<double> times;
            size_t wireBytes = 0;
            size_t frames = 0;
            Exchange(rig->handle, c.apdu, response); // the first one of a kind is not timed
            for (unsigned r = 0; r < reps; r++) {
                rig->sim->ClearLog();
                Clock::time_point start = Clock::now();
                Exchange(rig->handle, c.apdu, response);
                times.push_back(Seconds(Clock::now() - start));
                if (rig->sim->RepeatRequests() != 0)
                    Die(std::string(c.name) + ": the exchange needed a repeat request");
                size_t bytes = LoggedWireBytes(*rig->sim, &frames);
                if (wireBytes != 0 && bytes != wireBytes)
                    Die(std::string(c.name) + ": the exchange put a different number of bytes on the line");
                wireBytes = bytes;
            }
            std::vector<Step> steps = LoggedSteps(*rig->sim);
            int fd = DescriptorOf(rig->sim->PortPath());
            if (fd < 0)
                Die("replay: no descriptor of the port");
            std::vector<double> floors;
            for (unsigned r = 0; r < reps; r++)
                floors.push_back(ReplaySeconds(fd, steps));
            Row row;
            row.section = "exchange";
            row.name = std::string(c.name) + " (" + std::to_string(frames) + " frames, " + std::to_string(wireBytes) +
                       " bytes)";
            row.bps = bps;
            row.readers = 1;
            row.samples = reps;
            row.measuredMs = Median(times) * 1e3;
            row.floorMs = Median(floors) * 1e3;
            row.wireMs = WireSeconds(wireBytes, bps) * 1e3;
            row.ratio = row.measuredMs / row.wireMs;
            g_rows.push_back(row);
        }
    }
}

// The short exchanges at 115200 bit/s behind a USB-serial adapter whose
// latency timer holds the reader's short bursts: the 16 ms of an FTDI
// adapter by default, the 1 ms the library asks its driver for, and no
// adapter at all.
void MeasureAdapter(const Options &options)
{
    std::vector<unsigned char> response(kLongResponse + 64);
    for (int latency : {16, 1, 0}) {
        std::unique_ptr<Rig> rig = OpenRig(115200, true, std::chrono::milliseconds(latency));
        for (const Case &c : Cases()) {
            const std::string name = c.name;
            if (name != "apdu-5" && name != "apdu-261")
                continue;
            unsigned reps = options.quick ? 1 : 15;
            Exchange(rig->handle, c.apdu, response);
            std::vector<double> times;
            size_t frames = 0, wireBytes = 0;
            for (unsigned r = 0; r < reps; r++) {
                rig->sim->ClearLog();
                Clock::time_point start = Clock::now();
                Exchange(rig->handle, c.apdu, response);
                times.push_back(Seconds(Clock::now() - start));
                wireBytes = LoggedWireBytes(*rig->sim, &frames);
            }
            Row row;
            row.section = "adapter";
            row.name =
                std::string(c.name) + (latency > 0 ? ", timer " + std::to_string(latency) + " ms" : ", no adapter");
            row.bps = 115200;
            row.readers = 1;
            row.samples = reps;
            row.measuredMs = Median(times) * 1e3;
            row.wireMs = WireSeconds(wireBytes, 115200) * 1e3;
            row.ratio = row.measuredMs / row.wireMs;
            g_rows.push_back(row);
        }
    }
}

// CPU time of the calling thread per exchange, on a link without pacing so
// that nothing but the two programs' work is timed.
void MeasureCpu(const Options &options)
{
    std::vector<unsigned char> response(kLongResponse + 64);
    std::unique_ptr<Rig> rig = OpenRig(9600, false);
    for (const Case &c : Cases()) {
        bool longResponse = c.apdu[1] == kReadBinary;
        unsigned reps = options.quick ? (longResponse ? 20 : 200) : (longResponse ? 300 : 3000);
        for (unsigned i = 0; i < 20; i++)
            Exchange(rig->handle, c.apdu, response);
        rig->sim->ClearLog();
        Exchange(rig->handle, c.apdu, response);
        size_t frames = 0;
        size_t wireBytes = LoggedWireBytes(*rig->sim, &frames);

        // Timed in batches, and the median batch taken: a build of another
        // program that takes the core for a moment spoils one batch, not the
        // figure.
        const unsigned batch = longResponse ? 10 : 100;
        std::vector<double> cpuPerExchange;
        std::vector<double> wallPerExchange;
        for (unsigned done = 0; done < reps; done += batch) {
            rig->sim->ClearLog(); // the log would grow by every frame
            double cpuStart = ThreadCpuSeconds();
            Clock::time_point start = Clock::now();
            for (unsigned i = 0; i < batch; i++)
                Exchange(rig->handle, c.apdu, response);
            wallPerExchange.push_back(Seconds(Clock::now() - start) / batch);
            cpuPerExchange.push_back((ThreadCpuSeconds() - cpuStart) / batch);
        }
        double wall = Median(wallPerExchange);
        double cpu = Median(cpuPerExchange);

        Row row;
        row.section = "cpu";
        row.name = c.name;
        row.bps = 115200;
        row.readers = 1;
        row.samples = reps;
        row.measuredMs = wall * 1e3;
        row.wireMs = WireSeconds(wireBytes, 115200) * 1e3;
        row.cpuUs = cpu * 1e6;
        row.cpuSharePct = 100.0 * cpu / WireSeconds(wireBytes, 115200);
        g_rows.push_back(row);
    }
}

// N paced readers at 115200 bit/s, each driven by its own thread with the
// 261-byte APDU for a fixed time.  A reader's rate is the exchanges it
// completed divided by the time until its last one completed.
void MeasureParallel(const Options &options)
{
    const Bytes apdu = Cases()[1].apdu;
    const double duration = options.quick ? 1.0 : 4.0;
    std::vector<std::unique_ptr<Rig>> rigs;
    for (unsigned i = 0; i < kMaxReaders; i++)
        rigs.push_back(OpenRig(115200, true));

    double singleRate = 0;
    for (unsigned n : kReaderCounts) {
        std::vector<double> rates(n, 0);
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        Clock::time_point start;
        for (unsigned i = 0; i < n; i++) {
            threads.emplace_back([&, i] {
                std::vector<unsigned char> response(64);
                Exchange(rigs[i]->handle, apdu, response); // warm up before the start
                while (!go.load())
                    std::this_thread::yield();
                Clock::time_point begin = start;
                Clock::time_point end =
                    begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(duration));
                unsigned count = 0;
                Clock::time_point last = begin;
                while (Clock::now() < end) {
                    Exchange(rigs[i]->handle, apdu, response);
                    last = Clock::now();
                    count++;
                    if (count % 256 == 0)
                        rigs[i]->sim->ClearLog();
                }
                rates[i] = count / Seconds(last - begin);
            });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200)); // every thread warmed up
        start = Clock::now();
        go = true;
        for (std::thread &t : threads)
            t.join();

        double total = 0;
        double slowest = rates[0];
        for (double r : rates) {
            total += r;
            slowest = std::min(slowest, r);
        }
        if (n == 1)
            singleRate = total;
        Row row;
        row.section = "parallel";
        row.name = "apdu-261 x " + std::to_string(n);
        row.bps = 115200;
        row.readers = n;
        row.samples = n;
        row.ratePerSecond = total;
        row.expectedRate = singleRate * n;
        row.ratio = total / row.expectedRate;
        row.minReaderRatio = slowest / singleRate;
        g_rows.push_back(row);
    }
}

// KYT_OpenA on a paced reader that runs at each port speed: the detection
// scan tries the speeds from 9600 upward, so the faster the reader, the more
// silent attempts come first.
void MeasureOpen(const Options &options)
{
    unsigned reps = options.quick ? 1 : 3;
    for (uint32_t bps : kPortSpeeds) {
        std::vector<double> times;
        for (unsigned r = 0; r < reps; r++) {
            kytsim::Config config;
            config.pace = true;
            config.speed = bps;
            kytsim::SimReader sim(config);
            std::string error;
            if (!sim.Start(&error))
                Die("simulated reader did not start: " + error);
            ReaderHandle handle = nullptr;
            Clock::time_point start = Clock::now();
            KYT_STATUS status = KYT_OpenA(sim.PortPath().c_str(), &handle);
            times.push_back(Seconds(Clock::now() - start));
            if (status != 0)
                Die("KYT_OpenA at " + std::to_string(bps) + " bit/s failed with " + std::to_string(status));
            KYT_Close(handle);
        }
        Row row;
        row.section = "open";
        row.name = "detection scan";
        row.bps = bps;
        row.readers = 1;
        row.samples = reps;
        row.measuredMs = Median(times) * 1e3;
        g_rows.push_back(row);
    }
}

const char kUsage[] =
    "Usage: kyt_bench [--quick] [--csv FILE] [--section NAME]\n"
    "Measures libkyt against a line-paced simulated reader and prints a table.\n"
    "  --quick          few repetitions and short runs (a smoke test, about 30 s)\n"
    "  --section NAME   run only one part: exchange, adapter, cpu, parallel or open\n"
    "  --csv FILE       also write the results as CSV to FILE\n"
    "  --help           show this text and exit\n";

} // namespace

int main(int argc, char **argv)
{
    Options options;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--quick") {
            options.quick = true;
        } else if (arg == "--section" && i + 1 < argc) {
            options.section = argv[++i];
        } else if (arg == "--csv" && i + 1 < argc) {
            options.csv = argv[++i];
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "kyt_bench: unknown argument %s\n%s", arg.c_str(), kUsage);
            return 2;
        }
    }

    std::printf("kyt_bench%s: libkyt against a line-paced simulated reader (8N1, 10 bits per byte)\n",
                options.quick ? " --quick" : "");
    std::fflush(stdout);
    auto wanted = [&](const char *name) { return options.section.empty() || options.section == name; };
    if (wanted("exchange"))
        MeasureExchanges(options);
    if (wanted("adapter"))
        MeasureAdapter(options);
    if (wanted("cpu"))
        MeasureCpu(options);
    if (wanted("parallel"))
        MeasureParallel(options);
    if (wanted("open"))
        MeasureOpen(options);
    kytbench::PrintTable();
    kytbench::PrintTargets();
    std::printf("\nPC/SC comparison: scripts/bench-pcsc.sh (needs root and pcscd)\n");
    if (!options.csv.empty())
        kytbench::WriteCsv(options.csv);
    return 0;
}
