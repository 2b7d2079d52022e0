// The in-process simulator's controls for a host's long-haul tests, through
// the library: a card held over one APDU (DelayNextApdu) and the whole
// reader silent (Silence, Speak), where the program's tests cannot reach:
// the moments between an acknowledge and its response.
#include <chrono>
#include <future>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "kyt.h"
#include "reader_rig.h"
#include "sim_reader.h"

namespace {

using namespace std::chrono_literals;
using kytsim::Bytes;
using Clock = kytsim::Clock;

class SimControls : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim_ = rig::StartSim();
        ASSERT_NE(sim_, nullptr);
        sim_->InsertCard(0, rig::EchoCard());
        handle_ = rig::Open(*sim_);
        ASSERT_NE(handle_, nullptr);
        KYT_STATUS status;
        rig::PowerOn(handle_, 0, &status);
        ASSERT_EQ(status, 0UL);
        sim_->ClearLog();
    }
    void TearDown() override
    {
        if (handle_ != nullptr) {
            EXPECT_EQ(KYT_Close(handle_), 0UL);
        }
    }

    // The APDU comes back with 90 00 from the echo card.
    void ExpectEcho(const Bytes &apdu)
    {
        KYT_STATUS status;
        Bytes response = rig::Exchange(handle_, 0, apdu, &status);
        ASSERT_EQ(status, 0UL);
        Bytes expected = apdu;
        expected.insert(expected.end(), {0x90, 0x00});
        EXPECT_EQ(response, expected);
    }

    // Responses the reader sent since the log was cleared.
    size_t Responses() const
    {
        size_t count = 0;
        for (const kytsim::LogEntry &entry : sim_->Log())
            count += entry.direction == kytsim::Direction::ReaderToHost && entry.bytes.size() > 4;
        return count;
    }

    std::unique_ptr<kytsim::SimReader> sim_;
    ReaderHandle handle_ = nullptr;
};

// Given up on by the host, the late response still goes out once when the
// card is done (nothing new has come since), and the host's next APDU is
// answered with its own response.
TEST_F(SimControls, HeldApduAnswersOnceAfterTheHostGaveUp)
{
    rig::ShortenTimeouts(handle_, 300, 300);
    sim_->DelayNextApdu(0, 2000ms);
    EXPECT_EQ(sim_->NextApduDelay(0), 2000ms);
    KYT_STATUS status;
    rig::Exchange(handle_, 0, {0x00, 0x01, 0x02, 0x03}, &status);
    EXPECT_NE(status, 0UL);
    EXPECT_EQ(sim_->NextApduDelay(0), 0ms) << "used up";
    EXPECT_GE(sim_->RepeatRequests(), 1u);
    EXPECT_EQ(Responses(), 0u) << "a repeat request gets nothing while the card works";

    ASSERT_TRUE(rig::AwaitProgress(*sim_, [](const rig::ExchangeProgress &p) { return p.answered; }));
    EXPECT_EQ(Responses(), 1u);
    rig::ShortenTimeouts(handle_, 10000, 10000);
    ExpectEcho({0x00, 0x04, 0x05, 0x06});
}

// A silence begun between the acknowledge and the late response drops that
// response for good, even when the reader speaks again before it was due:
// the repeat request after it gets nothing, not an older response.
TEST_F(SimControls, SilenceDropsTheResponseOnItsWay)
{
    rig::ShortenTimeouts(handle_, 2000, 3000);
    sim_->DelayNextApdu(0, 2500ms); // long past the silence's start, even on a slow machine
    std::future<KYT_STATUS> exchange = std::async(std::launch::async, [this] {
        KYT_STATUS status;
        rig::Exchange(handle_, 0, {0x00, 0x01, 0x02, 0x03}, &status);
        return status;
    });
    ASSERT_TRUE(rig::AwaitProgress(*sim_, [](const rig::ExchangeProgress &p) { return p.acknowledged; }));
    sim_->Silence();
    EXPECT_EQ(sim_->SilentUntil(), Clock::time_point::max());
    sim_->Speak();
    EXPECT_EQ(sim_->SilentUntil(), std::nullopt);
    EXPECT_NE(exchange.get(), 0UL);
    EXPECT_GE(sim_->RepeatRequests(), 1u);
    EXPECT_EQ(Responses(), 0u);
    ExpectEcho({0x00, 0x04, 0x05, 0x06});
}

// A silence of a given length ends by itself; meanwhile nothing is
// acknowledged, and the powered card is powered after it.
TEST_F(SimControls, SilenceForAWhile)
{
    rig::ShortenTimeouts(handle_, 200, 200);
    Clock::time_point before = Clock::now();
    sim_->Silence(5000ms);
    std::optional<Clock::time_point> until = sim_->SilentUntil();
    ASSERT_TRUE(until.has_value());
    EXPECT_GE(*until, before + 5000ms);
    EXPECT_LE(*until, Clock::now() + 5000ms);
    KYT_ULONG icc = 0;
    EXPECT_NE(KYT_GetIccStatus(handle_, 0, &icc), 0UL);
    EXPECT_FALSE(rig::ProgressOf(*sim_).acknowledged);

    while (sim_->SilentUntil())
        std::this_thread::sleep_for(20ms);
    EXPECT_GE(Clock::now(), before + 5000ms);
    rig::ShortenTimeouts(handle_, 10000, 10000);
    EXPECT_EQ(KYT_GetIccStatus(handle_, 0, &icc), 0UL);
    EXPECT_EQ(icc, KYT_ICC_POWERED);
    ExpectEcho({0x00, 0x04, 0x05, 0x06});
}

} // namespace
