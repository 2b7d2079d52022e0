// Line pacing of the simulated reader, seen through the library: a paced
// exchange lasts at least as long as its frames need on the wire, and the
// reader's and the card's delays come on top.  Only these lower bounds are
// tested, which no machine can undercut; how close the library comes to the
// wire time is a benchmark's measure (bench/kyt_bench), not a test's.
#include <chrono>
#include <vector>

#include <gtest/gtest.h>

#include "kyt.h"
#include "reader_rig.h"
#include "usb_adapter.h"
#include "wire.h"

using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

// Seconds the logged frames (both directions) take at 10 bits per byte.
double LoggedWireSeconds(const kytsim::SimReader &sim, uint32_t bps)
{
    size_t bytes = 0;
    for (const kytsim::LogEntry &entry : sim.Log())
        bytes += entry.bytes.size();
    return static_cast<double>(bytes) * 10.0 / bps;
}

struct Timed {
    double seconds;
    double wireSeconds;
};

// READ BINARY gets this many data bytes, in chained blocks of 256.
constexpr size_t kLongResponse = 4096;

// Opens the library on the reader (moving it to `switchTo` afterwards when
// that is not 0), powers the card in slot 0 and times one exchange of
// `apduSize` bytes.  An APDU of 5 bytes is a READ BINARY with a 4 KiB answer.
Timed TimeExchange(const kytsim::Config &config, size_t apduSize, uint32_t switchTo = 0)
{
    auto sim = rig::StartSim(config);
    if (!sim)
        return {0, 0};
    kytsim::Card card = rig::PlainCard();
    card.handler = [](const kytsim::Bytes &apdu) {
        kytsim::Bytes answer(apdu.size() == 5 ? kLongResponse : 0, 0x11);
        answer.push_back(0x90);
        answer.push_back(0x00);
        return answer;
    };
    sim->InsertCard(0, card);
    sim->SetMaxResponseBlock(256);
    ReaderHandle handle = rig::Open(*sim);
    if (!handle)
        return {0, 0};
    uint32_t bps = config.speed;
    if (switchTo != 0) {
        EXPECT_EQ(KYT_SetBaudRate(handle, switchTo), 0UL);
        bps = switchTo;
    }
    unsigned char atr[64];
    KYT_ULONG atrLength = sizeof atr;
    EXPECT_EQ(KYT_PowerOnIcc(handle, 0, atr, &atrLength), 0UL);

    std::vector<unsigned char> apdu(apduSize, 0x5A);
    apdu[0] = 0x00;
    apdu[1] = apduSize == 5 ? 0xB0 : 0xD6;
    unsigned char response[kLongResponse + 16];
    KYT_ULONG responseLength = sizeof response;
    sim->ClearLog();
    Clock::time_point start = Clock::now();
    EXPECT_EQ(KYT_ExchangeApdu(handle, 0, apdu.data(), apdu.size(), response, &responseLength), 0UL);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(responseLength, apduSize == 5 ? kLongResponse + 2 : 2UL);
    EXPECT_EQ(sim->RepeatRequests(), 0U);
    double wire = LoggedWireSeconds(*sim, bps);
    KYT_Close(handle);
    return {seconds, wire};
}

struct PacedCase {
    const char *name;
    uint32_t bps;      // the reader's speed at open
    uint32_t switchTo; // 0, or the speed the library moves it to
    size_t apduSize;
    double minimumWireSeconds; // what the frames need at least, worked out by hand
};

class PacedExchange : public ::testing::TestWithParam<PacedCase> {};

// 600 bytes go in three blocks (261, 261, 78): three command frames, three
// acknowledges and three 13- or 15-byte responses, 692 bytes in all, most of
// them from the host.  The 4 KiB answer to a READ BINARY is almost all from
// the reader: 17 response frames of up to 269 bytes, 4613 bytes in all.
// After a speed change the pacing follows the new speed.
TEST_P(PacedExchange, TakesAtLeastItsWireTime)
{
    const PacedCase &c = GetParam();
    kytsim::Config config;
    config.speed = c.bps;
    config.pace = true;
    Timed t = TimeExchange(config, c.apduSize, c.switchTo);
    EXPECT_GE(t.wireSeconds, c.minimumWireSeconds);
    EXPECT_GE(t.seconds, t.wireSeconds);
}

INSTANTIATE_TEST_SUITE_P(Speeds, PacedExchange,
                         ::testing::Values(PacedCase{"Command600At9600", 9600, 0, 600, 692 * 10.0 / 9600},
                                           PacedCase{"Command600At115200", 115200, 0, 600, 692 * 10.0 / 115200},
                                           PacedCase{"Response4kAfterSwitchTo115200", 9600, 115200, 5,
                                                     4613 * 10.0 / 115200}),
                         [](const auto &test) { return std::string(test.param.name); });

TEST(Pacing, ReaderAndCardDelaysComeOnTopOfTheWire)
{
    kytsim::Config config;
    config.speed = 115200;
    config.pace = true;
    config.readerDelay = 30ms; // one command frame
    config.cardDelay = 150ms;  // one APDU
    Timed t = TimeExchange(config, 7);
    double delays = 0.030 + 0.150;
    EXPECT_GE(t.seconds, t.wireSeconds + delays);
}

// Behind a USB adapter the response is held for the adapter's timer after
// the card's work, and the acknowledge before it for the timer too (which
// the card's work hides here).
TEST(Pacing, AdapterTimerComesOnTopOfTheCardsWork)
{
    kytsim::Config config;
    config.speed = 115200;
    config.pace = true;
    config.cardDelay = 60ms;
    config.adapterLatency = 40ms;
    Timed t = TimeExchange(config, 7);
    EXPECT_GE(t.seconds, t.wireSeconds + 0.060 + 0.040);
}

// The adapter's own rule, on a clock of the test's: bytes wait until a
// packet's worth is there or the timer has run out since the first of them.
TEST(UsbAdapter, ReleasesFullPacketsAtOnceAndTheRestWhenTheTimerRunsOut)
{
    using kytsim::UsbAdapter;
    const UsbAdapter::Clock::time_point t0{};
    UsbAdapter adapter(16ms);
    const std::vector<uint8_t> ack = wire::Ack();
    EXPECT_TRUE(adapter.Take(ack.data(), ack.size(), t0).empty());
    EXPECT_EQ(adapter.Deadline(), t0 + 16ms);
    EXPECT_TRUE(adapter.Due(t0 + 15ms).empty());
    // Later bytes join the waiting packet; its timer still counts from the first.
    const std::vector<uint8_t> more(70, 0x11);
    std::vector<uint8_t> out = adapter.Take(more.data(), more.size(), t0 + 5ms);
    EXPECT_EQ(out.size(), UsbAdapter::kPacketData);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 4), ack);
    EXPECT_EQ(adapter.Deadline(), t0 + 5ms + 16ms); // the 12 left began a packet at 5 ms
    EXPECT_EQ(adapter.Due(t0 + 21ms).size(), 74u - UsbAdapter::kPacketData);
    EXPECT_FALSE(adapter.Deadline().has_value());
    // Bytes taken after the timer ran out push the waiting ones out first.
    EXPECT_TRUE(adapter.Take(ack.data(), ack.size(), t0 + 30ms).empty());
    EXPECT_EQ(adapter.Take(ack.data(), 1, t0 + 46ms), ack);
    EXPECT_FALSE(UsbAdapter().Active());
}

} // namespace
