// Line pacing of the simulated reader, seen through the library: a paced
// exchange lasts about as long as its frames need on the wire, the reader's
// and the card's delays come on top, and without pacing the line is as fast
// as the pty.  The bounds are generous so that a loaded machine passes.
#include <chrono>
#include <vector>

#include <gtest/gtest.h>

#include "kyt.h"
#include "reader_rig.h"

using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

// Seconds the logged frames (both directions) take at 10 bits per byte.
double LoggedWireSeconds(const kytsim::SimReader &sim, uint32_t bps)
{
    size_t bytes = 0;
    for (const kytsim::LogEntry &entry : sim.Log())
        bytes += entry.bytes.size();
    return bytes * 10.0 / bps;
}

struct Timed {
    double seconds;
    double wireSeconds;
};

// Opens the library on a reader at `bps`, powers the card in slot 0 and times
// one exchange of `apduSize` bytes.
Timed TimeExchange(const kytsim::Config &config, size_t apduSize)
{
    auto sim = rig::StartSim(config);
    if (!sim)
        return {0, 0};
    sim->InsertCard(0, rig::PlainCard());
    ReaderHandle handle = rig::Open(*sim);
    if (!handle)
        return {0, 0};
    unsigned char atr[64];
    KYT_ULONG atrLength = sizeof atr;
    EXPECT_EQ(KYT_PowerOnIcc(handle, 0, atr, &atrLength), 0UL);

    std::vector<unsigned char> apdu(apduSize, 0x5A);
    apdu[0] = 0x00;
    apdu[1] = 0xD6;
    unsigned char response[16];
    KYT_ULONG responseLength = sizeof response;
    sim->ClearLog();
    Clock::time_point start = Clock::now();
    EXPECT_EQ(KYT_ExchangeApdu(handle, 0, apdu.data(), apdu.size(), response, &responseLength), 0UL);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(responseLength, 2UL);
    EXPECT_EQ(sim->RepeatRequests(), 0U);
    double wire = LoggedWireSeconds(*sim, config.speed);
    KYT_Close(handle);
    return {seconds, wire};
}

struct PacedCase {
    uint32_t bps;
    size_t apduSize;
    double minimumWireSeconds; // what the frames need at least, worked out by hand
};

class PacedExchange : public ::testing::TestWithParam<PacedCase> {};

// 600 bytes go in three blocks (261, 261, 78): three command frames, three
// acknowledges and three 12- or 15-byte responses, 692 bytes in all.
TEST_P(PacedExchange, TakesAtLeastItsWireTimeAndNotThreeTimesIt)
{
    const PacedCase &c = GetParam();
    kytsim::Config config;
    config.speed = c.bps;
    config.pace = true;
    Timed t = TimeExchange(config, c.apduSize);
    EXPECT_GE(t.wireSeconds, c.minimumWireSeconds);
    EXPECT_GE(t.seconds, t.wireSeconds);
    EXPECT_LE(t.seconds, 3 * t.wireSeconds);
}

INSTANTIATE_TEST_SUITE_P(Speeds, PacedExchange,
                         ::testing::Values(PacedCase{9600, 600, 692 * 10.0 / 9600},
                                           PacedCase{115200, 600, 692 * 10.0 / 115200}),
                         [](const auto &info) { return "At" + std::to_string(info.param.bps); });

TEST(Pacing, ReaderAndCardDelaysComeOnTopOfTheWire)
{
    kytsim::Config config;
    config.speed = 115200;
    config.pace = true;
    config.readerDelay = 30ms; // one command frame
    config.cardDelay = 150ms;  // one APDU
    Timed t = TimeExchange(config, 5);
    double delays = 0.030 + 0.150;
    EXPECT_GE(t.seconds, t.wireSeconds + delays);
    EXPECT_LE(t.seconds, 3 * (t.wireSeconds + delays));
}

TEST(Pacing, OffByDefault)
{
    kytsim::Config config;
    EXPECT_FALSE(config.pace);
    Timed t = TimeExchange(config, 600);
    EXPECT_LT(t.seconds, t.wireSeconds / 2);
}

} // namespace
