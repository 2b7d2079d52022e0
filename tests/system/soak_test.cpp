// Fault soak: several simulated readers, a thread on each, the readers
// injecting line faults drawn from a fixed seed (lost, refused and damaged
// acknowledges, damaged, padded and withheld responses, unanswered repeat
// requests, truncated responses, responses run into a late acknowledge, and
// responses split by short and by long pauses).  Every exchange
// must either deliver exactly the echoed APDU or fail within the time its
// timeouts and retries allow; once the faults stop, the next exchange works.
// A reader that disappears mid-exchange ends the call within the same bound.
//
// KYT_SOAK_EXCHANGES sets the exchanges per thread (default 100) and
// KYT_SOAK_SEED the seed, for longer runs by hand.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "reader_rig.h"

namespace {

using kytsim::Bytes;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The timeouts are what the faults that need waiting out cost, and what a
// healthy exchange must never come near, on any machine: the soak also runs
// under valgrind and the sanitizers, many times slower than natively, where
// a healthy answer can take tens of milliseconds.
constexpr KYT_ULONG kStatusTimeout = 400, kStatusRetries = 2;
constexpr KYT_ULONG kResponseTimeout = 400, kResponseRetries = 2;
constexpr unsigned kMaxPieces = 4;

// The longest one exchange may take: every command attempt waiting out its
// acknowledge byte by byte, every response attempt waiting out each of its
// pieces, plus ample slack for a slow machine.  The bound is there to show
// that no call hangs, not to time the library.
constexpr std::chrono::milliseconds CallBound()
{
    return std::chrono::milliseconds((kStatusRetries + 1) * kStatusTimeout * 4 +
                                     (kResponseRetries + 1) * kResponseTimeout * (kMaxPieces + 1)) +
           10s;
}

unsigned long EnvOr(const char *name, unsigned long fallback)
{
    const char *value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::strtoul(value, nullptr, 10) : fallback;
}

struct Totals {
    std::atomic<long> exchanges{0}, succeeded{0}, failed{0}, wrong{0}, overBound{0}, faults{0};
    std::atomic<long> longestMs{0};

    void Longest(long ms)
    {
        long seen = longestMs.load();
        while (ms > seen && !longestMs.compare_exchange_weak(seen, ms)) {
        }
    }
};

// One exchange with a tagged APDU; true when it delivered the echo.
bool Exchange(ReaderHandle handle, KYT_ULONG slot, uint8_t tag, uint16_t round, Totals &totals)
{
    const unsigned char apdu[] = {
        0x80, 0x20, tag, static_cast<unsigned char>(round >> 8), static_cast<unsigned char>(round), 0x00};
    unsigned char response[32];
    KYT_ULONG length = sizeof(response);
    Clock::time_point start = Clock::now();
    KYT_STATUS status = KYT_ExchangeApdu(handle, slot, apdu, sizeof(apdu), response, &length);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    totals.exchanges++;
    totals.Longest(static_cast<long>(took.count())); // milliseconds fit a long
    if (took > CallBound())
        totals.overBound++;
    if (status != 0) {
        totals.failed++;
        return false;
    }
    Bytes expected(apdu, apdu + sizeof(apdu));
    expected.push_back(0x90);
    expected.push_back(0x00);
    if (Bytes(response, response + length) != expected) {
        totals.wrong++;
        std::string got;
        for (KYT_ULONG i = 0; i < length; i++) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%02X ", response[i]);
            got += hex;
        }
        ADD_FAILURE() << "slot " << slot << " tag " << int(tag) << " round " << round << ": got " << got;
        return false;
    }
    totals.succeeded++;
    return true;
}

struct Reader {
    std::unique_ptr<kytsim::SimReader> sim;
    ReaderHandle handle = nullptr;
};

bool SetUpReader(Reader *reader)
{
    reader->sim = rig::StartSim();
    if (!reader->sim)
        return false;
    for (unsigned slot = 0; slot < 3; slot++)
        reader->sim->InsertCard(slot, rig::EchoCard());
    reader->handle = rig::Open(*reader->sim);
    if (reader->handle == nullptr)
        return false;
    KYT_TIMEOUTS timeouts = {kStatusTimeout, kStatusRetries, kResponseTimeout, kResponseRetries};
    EXPECT_EQ(KYT_SetTimeouts(reader->handle, &timeouts), 0UL);
    for (KYT_ULONG slot = 0; slot < 3; slot++) {
        KYT_ULONG length = 64;
        EXPECT_EQ(KYT_PowerOnIcc(reader->handle, slot, nullptr, &length), 0UL);
    }
    return true;
}

TEST(Soak, RandomLineFaultsOnSeveralReaders)
{
    const unsigned long rounds = EnvOr("KYT_SOAK_EXCHANGES", 100);
    const unsigned long seed = EnvOr("KYT_SOAK_SEED", 20261208);
    // One thread per reader: the bound is that of one exchange on its line,
    // and a second caller would add its wait for the reader's lock (which
    // no fairness rule bounds).  Callers sharing a reader are the stress
    // test's business.
    constexpr int kReaders = 4, kThreadsPerReader = 1;
    const int descriptorsBefore = rig::OpenDescriptorCount();

    Reader readers[kReaders];
    for (Reader &reader : readers)
        ASSERT_TRUE(SetUpReader(&reader));

    // Each reader draws its own faults from the seed; a whole exchange's
    // acknowledges may be lost, and a long pause outlasts the response
    // timeout.
    for (int r = 0; r < kReaders; r++) {
        kytsim::RandomFaults mode;
        mode.seed = static_cast<uint32_t>(seed + 97 * r);
        mode.percent = 30;
        mode.maxLostAcks = kStatusRetries + 1;
        mode.longPause = std::chrono::milliseconds(kResponseTimeout * 3 / 2);
        readers[r].sim->SetRandomFaults(mode);
    }

    Totals totals;
    std::vector<std::thread> threads;
    for (int r = 0; r < kReaders; r++) {
        for (int t = 0; t < kThreadsPerReader; t++) {
            threads.emplace_back([&, r, t] {
                const uint8_t tag = static_cast<uint8_t>(16 * r + t);
                for (unsigned long round = 0; round < rounds; round++)
                    Exchange(readers[r].handle, static_cast<KYT_ULONG>(t), tag, static_cast<uint16_t>(round), totals);
            });
        }
    }
    for (std::thread &thread : threads)
        thread.join();

    // The faults stop: the first exchange on each reader succeeds.
    for (int r = 0; r < kReaders; r++) {
        totals.faults += static_cast<long>(readers[r].sim->RandomFaultsInjected());
        readers[r].sim->ClearFaults();
        EXPECT_TRUE(Exchange(readers[r].handle, 2, 0xEE, 0, totals)) << "reader " << r;
    }

    std::printf(
        "soak: %ld exchanges, %ld faults injected, %ld succeeded, %ld failed within bound, "
        "%ld wrong, %ld over bound, longest %ld ms (bound %lld ms)\n",
        totals.exchanges.load(), totals.faults.load(), totals.succeeded.load(), totals.failed.load(),
        totals.wrong.load(), totals.overBound.load(), totals.longestMs.load(),
        static_cast<long long>(CallBound().count()));
    EXPECT_EQ(totals.wrong.load(), 0);
    EXPECT_EQ(totals.overBound.load(), 0);
    EXPECT_GT(totals.faults.load(), 0);
    // Most exchanges get through: the faults are single events the retries
    // are there for.
    EXPECT_GT(totals.succeeded.load(), totals.exchanges.load() / 2);

    for (Reader &reader : readers)
        EXPECT_EQ(KYT_Close(reader.handle), 0UL);
    for (Reader &reader : readers)
        reader.sim.reset();
    EXPECT_EQ(rig::OpenDescriptorCount(), descriptorsBefore);
}

// Each fault on its own is what a retry or a repeat request is for: the
// exchange still delivers the right answer.
TEST(Soak, EverySingleFaultIsRecovered)
{
    Reader reader;
    ASSERT_TRUE(SetUpReader(&reader));
    const struct {
        const char *what;
        int kytsim::Faults::*count;
    } rows[] = {
        {"lost acknowledge", &kytsim::Faults::dropAcks},
        {"refused acknowledge", &kytsim::Faults::refuseAcks},
        {"damaged acknowledge", &kytsim::Faults::damageAckChecksum},
        {"damaged response", &kytsim::Faults::damageResponses},
        {"padded response", &kytsim::Faults::trailingBytes},
        {"response run into a late acknowledge", &kytsim::Faults::lateAcks},
        {"withheld response", &kytsim::Faults::silentAfterAck},
        {"truncated response", &kytsim::Faults::truncateResponses},
        {"split response", &kytsim::Faults::splitResponses},
    };
    uint16_t round = 0;
    for (const auto &row : rows) {
        kytsim::Faults faults;
        faults.*row.count = 1;
        faults.splitDelay = 20ms;
        reader.sim->InjectFaults(faults);
        Totals totals;
        EXPECT_TRUE(Exchange(reader.handle, 0, 0x42, round++, totals)) << row.what;
        EXPECT_EQ(totals.overBound.load(), 0) << row.what;
    }
    EXPECT_EQ(KYT_Close(reader.handle), 0UL);
}

// The reader's end of the line goes away before a command, while it waits
// for its acknowledge, or while it waits for its response: the call fails
// within its bound, the handle stays usable for Close, and nothing is left
// open.  The reader holds its answer until it is gone, so the call cannot
// end any other way.
TEST(Soak, ReaderDisappearsMidExchange)
{
    const struct {
        const char *when;
        std::chrono::milliseconds readerDelay, responseDelay;
        bool (*unplugOnce)(const rig::ExchangeProgress &); // null: before the call
    } rows[] = {
        {"before the command", 0ms, 0ms, nullptr},
        {"waiting for the acknowledge", 60s, 0ms, [](const rig::ExchangeProgress &p) { return p.commandIn; }},
        {"waiting for the response", 0ms, 60s, [](const rig::ExchangeProgress &p) { return p.acknowledged; }},
    };
    const int descriptorsBefore = rig::OpenDescriptorCount();
    for (const auto &row : rows) {
        SCOPED_TRACE(row.when);
        Reader reader;
        ASSERT_TRUE(SetUpReader(&reader));
        reader.sim->ClearLog();
        reader.sim->SetReaderDelay(row.readerDelay);
        reader.sim->SetResponseDelay(row.responseDelay);
        if (row.unplugOnce == nullptr)
            reader.sim->Stop();
        std::thread unplug([&] {
            if (row.unplugOnce == nullptr)
                return;
            EXPECT_TRUE(rig::AwaitProgress(*reader.sim, row.unplugOnce));
            reader.sim->Stop();
        });
        Totals totals;
        EXPECT_FALSE(Exchange(reader.handle, 0, 0x01, 1, totals));
        unplug.join();
        EXPECT_EQ(totals.wrong.load(), 0);
        EXPECT_EQ(totals.overBound.load(), 0) << "took " << totals.longestMs.load() << " ms";
        // Later calls fail at once rather than hang.
        KYT_ULONG status = 0;
        EXPECT_NE(KYT_GetIccStatus(reader.handle, 0, &status), 0UL);
        EXPECT_EQ(KYT_Close(reader.handle), 0UL);
    }
    EXPECT_EQ(rig::OpenDescriptorCount(), descriptorsBefore);
}

} // namespace
