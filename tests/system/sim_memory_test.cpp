// kyt_sim polled for a long time, as pcscd polls every slot of a reader for
// days: its frame log and command history stay within their rings, its log
// file within its two files, and its resident memory stays where it was once
// the rings had filled.  The test measures, it does not time: the polls go
// as fast as the unpaced simulator answers them, however fast that is.
//
// KYT_MEMORY_POLLS sets the number of polls (default 50 000).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "kyt.h"
#include "sim_rig.h"
#include "temp_files.h"

namespace {

// Enough polls to fill both rings of the log (8192 frames, three a poll,
// and 8192 commands, one a poll) before the first measurement.
constexpr unsigned long kWarmUp = 10000;
// What the resident set may grow by after the warm-up: allocator pages that
// the steady churn of the rings happens to touch for the first time.  A
// sanitizer's allocator hands freed blocks back later and in other size
// classes, so it gets more; rings that did not bound themselves would still
// grow by several MiB over the polls.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long kSlackKib = 2048;
#else
constexpr long kSlackKib = 512;
#endif
constexpr long kLogSizeKib = 64;

unsigned long Polls()
{
    const char *value = std::getenv("KYT_MEMORY_POLLS");
    unsigned long polls = value != nullptr && *value != '\0' ? std::strtoul(value, nullptr, 10) : 50000;
    return std::max(polls, 2 * kWarmUp);
}

// A "Vm...:" figure of /proc/PID/status in KiB, -1 when it cannot be read.
long VmKib(pid_t pid, const std::string &field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, field.size() + 1, field + ":") == 0)
            return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
    }
    return -1;
}

long FileKib(const std::string &path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? static_cast<long>(info.st_size / 1024) : -1;
}

bool Poll(ReaderHandle handle, unsigned long i)
{
    KYT_ULONG icc = 0;
    return KYT_GetIccStatus(handle, i % 3, &icc) == 0;
}

TEST(SimMemory, FlatOverManyPolls)
{
    const unsigned long polls = Polls();
    rig::TempFolder folder("kyt_sim_memory");
    ASSERT_TRUE(folder.Made());
    const std::string log = folder.Path("frames.log");
    // AddressSanitizer holds freed blocks back (up to 256 MiB) to catch
    // their use; kyt_sim's memory is measured with them handed back at once.
    const char *asanOptions = std::getenv("ASAN_OPTIONS");
    std::string options = asanOptions != nullptr ? asanOptions : "";
    setenv("ASAN_OPTIONS", (options + (options.empty() ? "" : ":") + "quarantine_size_mb=0").c_str(), 1);
    rig::SimRig sim;
    ASSERT_TRUE(sim.Begin({"--log", log, "--log-size", std::to_string(kLogSizeKib)}, {rig::Input::Null}));
    const ReaderHandle handle = sim.Handle();
    const pid_t pid = sim.Process().Pid();

    const long startKib = VmKib(pid, "VmRSS");
    unsigned long failed = 0;
    for (unsigned long i = 0; i < kWarmUp; i++)
        failed += Poll(handle, i) ? 0 : 1;
    const long warmKib = VmKib(pid, "VmRSS");
    auto start = std::chrono::steady_clock::now();
    for (unsigned long i = kWarmUp; i < polls; i++)
        failed += Poll(handle, i) ? 0 : 1;
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    const long endKib = VmKib(pid, "VmRSS");
    const long peakKib = VmKib(pid, "VmHWM");

    std::printf(
        "kyt_sim resident memory: %ld KiB at the start, %ld KiB after %lu polls, %ld KiB after %lu "
        "(peak %ld KiB); %.0f polls/s; log files %ld and %ld KiB\n",
        startKib, warmKib, kWarmUp, endKib, polls, peakKib, static_cast<double>(polls - kWarmUp) / took.count(),
        FileKib(log), FileKib(log + ".1"));
    EXPECT_EQ(failed, 0u);
    ASSERT_GT(warmKib, 0);
    EXPECT_LE(endKib, warmKib + kSlackKib);
    EXPECT_LE(FileKib(log), kLogSizeKib);
    EXPECT_LE(FileKib(log + ".1"), kLogSizeKib);

    sim.End(); // closed, and kyt_sim ends with status 0
}

} // namespace
