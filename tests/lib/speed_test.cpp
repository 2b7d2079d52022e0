// Line speed changes in step with the reader, and the link timeouts.
#include <cerrno>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "ccid.h"
#include "device.h"
#include "reader_rig.h"

namespace {

using kytsim::Bytes;

class Speed : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim_ = rig::StartSim();
        ASSERT_TRUE(sim_);
        handle_ = rig::Open(*sim_);
        ASSERT_NE(handle_, nullptr);
        sim_->ClearLog();
    }
    void TearDown() override
    {
        if (handle_ != nullptr) {
            EXPECT_EQ(KYT_Close(handle_), 0UL);
        }
    }
    KYT_ULONG PortSpeed()
    {
        KYT_ULONG baud = 0;
        EXPECT_EQ(KYT_GetBaudRate(handle_, &baud), 0UL);
        return baud;
    }
    std::vector<Bytes> SetSpeedCommands() { return rig::CommandsOfType(*sim_, PC_TO_RDR_ESCAPE); }
    // The simulated reader moves to the new speed just after its reply has
    // gone out, so the library may return before the move: wait for the
    // reader's speed, bounded only so that a broken reader cannot hang the
    // test.
    uint32_t SimSpeedOnceSettled(uint32_t expected)
    {
        auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (sim_->Speed() != expected && std::chrono::steady_clock::now() < giveUp)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return sim_->Speed();
    }

    std::unique_ptr<kytsim::SimReader> sim_;
    ReaderHandle handle_ = nullptr;
};

TEST_F(Speed, ArgumentErrors)
{
    EXPECT_EQ(KYT_GetBaudRate(handle_, nullptr), static_cast<KYT_ULONG>(EINVAL));
    EXPECT_EQ(KYT_GetBaudRate(nullptr, nullptr), static_cast<KYT_ULONG>(EINVAL));
    EXPECT_EQ(KYT_SetBaudRate(nullptr, 9600), static_cast<KYT_ULONG>(EINVAL));
    EXPECT_EQ(KYT_SetBaudRate(handle_, 12345), static_cast<KYT_ULONG>(EINVAL));
    EXPECT_EQ(KYT_GetTimeouts(handle_, nullptr), static_cast<KYT_ULONG>(EINVAL));
    EXPECT_EQ(KYT_SetTimeouts(handle_, nullptr), static_cast<KYT_ULONG>(EINVAL));
    KYT_TIMEOUTS timeouts = {};
    EXPECT_EQ(KYT_GetTimeouts(nullptr, &timeouts), static_cast<KYT_ULONG>(EINVAL));
    EXPECT_TRUE(sim_->Commands().empty());
}

TEST_F(Speed, SameSpeedSendsNothing)
{
    EXPECT_EQ(KYT_SetBaudRate(handle_, 9600), 0UL);
    EXPECT_TRUE(sim_->Commands().empty());
}

TEST_F(Speed, ConfirmedChangeMovesBothEnds)
{
    ASSERT_EQ(KYT_SetBaudRate(handle_, 115200), 0UL);
    std::vector<Bytes> sent = SetSpeedCommands();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(Bytes(sent[0].begin() + CCID_HEADER_SIZE, sent[0].end()), (Bytes{0x44, 0x04}));
    EXPECT_EQ(sent[0][CCID_OFFSET_SLOT], 0);
    EXPECT_EQ(PortSpeed(), 115200UL);
    EXPECT_EQ(SimSpeedOnceSettled(115200), 115200u);

    // The link works at the new speed, and back down again.
    KYT_ULONG status = 0;
    EXPECT_EQ(KYT_GetIccStatus(handle_, 0, &status), 0UL);
    ASSERT_EQ(KYT_SetBaudRate(handle_, 19200), 0UL);
    EXPECT_EQ(PortSpeed(), 19200UL);
    EXPECT_EQ(KYT_GetIccStatus(handle_, 0, &status), 0UL);
}

TEST_F(Speed, UnconfirmedChangeLeavesThePortAtTheNewSpeed)
{
    for (const Bytes &reply : {Bytes{0x90, 0x03}, Bytes{0x6A, 0x00}, Bytes{0x90}}) {
        sim_->SetSpeedChangeReply(reply);
        EXPECT_EQ(KYT_SetBaudRate(handle_, 115200), static_cast<KYT_ULONG>(EIO));
        EXPECT_EQ(PortSpeed(), 115200UL);
        // Bring the port back to where the reader still is.
        sim_->SetSpeedChangeReply(std::nullopt);
        sim_->SetSpeed(115200);
        ASSERT_EQ(KYT_SetBaudRate(handle_, 9600), 0UL);
        ASSERT_EQ(SimSpeedOnceSettled(9600), 9600u);
    }
}

TEST_F(Speed, ReplyTooLongForTheTwoByteBuffer)
{
    sim_->SetSpeedChangeReply(Bytes{0x00, 0x90, 0x04});
    EXPECT_EQ(KYT_SetBaudRate(handle_, 115200), static_cast<KYT_ULONG>(E2BIG));
    EXPECT_EQ(PortSpeed(), 9600UL);
}

TEST_F(Speed, SilentReaderLeavesThePortAtTheOldSpeed)
{
    rig::ShortenTimeouts(handle_);
    sim_->SetIgnoreSpeedChange(true);
    EXPECT_EQ(KYT_SetBaudRate(handle_, 115200), static_cast<KYT_ULONG>(EIO));
    EXPECT_EQ(PortSpeed(), 9600UL);
    EXPECT_EQ(sim_->Speed(), 9600u);
}

TEST_F(Speed, SpeedThePortCannotSetSendsNothing)
{
    for (KYT_ULONG speed : {128000UL, 230400UL, 250000UL, 256000UL, 500000UL}) {
        KYT_STATUS status = KYT_SetBaudRate(handle_, speed);
        EXPECT_NE(status, 0UL) << speed;
        EXPECT_NE(status, static_cast<KYT_ULONG>(EINVAL)) << speed;
    }
    EXPECT_TRUE(sim_->Commands().empty());
    EXPECT_EQ(PortSpeed(), 9600UL);
}

TEST_F(Speed, TimeoutsRoundTrip)
{
    const KYT_TIMEOUTS cases[] = {
        {1, 2, 3, 4},
        {0, 0, 0, 0},
        {~0UL, ~0UL, ~0UL, ~0UL},
    };
    for (const KYT_TIMEOUTS &set : cases) {
        ASSERT_EQ(KYT_SetTimeouts(handle_, &set), 0UL);
        KYT_TIMEOUTS got = {9, 9, 9, 9};
        ASSERT_EQ(KYT_GetTimeouts(handle_, &got), 0UL);
        EXPECT_EQ(got.statusTimeout, set.statusTimeout);
        EXPECT_EQ(got.statusRetries, set.statusRetries);
        EXPECT_EQ(got.responseTimeout, set.responseTimeout);
        EXPECT_EQ(got.responseRetries, set.responseRetries);
    }
    // The record keeps them in its own order.
    const KYT_TIMEOUTS distinct = {10, 20, 30, 40};
    ASSERT_EQ(KYT_SetTimeouts(handle_, &distinct), 0UL);
    EXPECT_EQ(handle_->statusTimeout, 10UL);
    EXPECT_EQ(handle_->statusRetries, 20UL);
    EXPECT_EQ(handle_->responseTimeout, 30UL);
    EXPECT_EQ(handle_->responseRetries, 40UL);
}

} // namespace
