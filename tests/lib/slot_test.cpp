// Card slot operations on the simulated reader: power, status, APDUs and
// escape commands, with the slot's stored ATR kept in step.
#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#include "ccid.h"
#include "demo_card.h"
#include "device.h"
#include "reader_rig.h"

namespace {

using kytsim::Bytes;

class Slots : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim_ = rig::StartSim();
        ASSERT_TRUE(sim_);
        sim_->InsertCard(0, rig::PlainCard());
        handle_ = rig::Open(*sim_);
        ASSERT_NE(handle_, nullptr);
    }
    void TearDown() override
    {
        if (handle_ != nullptr) {
            EXPECT_EQ(KYT_Close(handle_), 0UL);
        }
    }
    const CardCapabilities &Card(int slot) const { return handle_->slotInfo[slot].Card; }

    std::unique_ptr<kytsim::SimReader> sim_;
    ReaderHandle handle_ = nullptr;
};

TEST_F(Slots, ArgumentErrorsSendNothing)
{
    sim_->ClearLog();
    KYT_ULONG length = 64, status = 7, returned = 9;
    unsigned char buffer[64];
    const unsigned char apdu[] = {0x00, 0xA4, 0x04, 0x00, 0x00};
    const unsigned char *escape = demo::kFirmwareQuery.data();
    const unsigned char setSpeed[] = {0x44, 0x04};
    const KYT_ULONG inval = EINVAL;

    EXPECT_EQ(KYT_PowerOnIcc(handle_, 3, buffer, &length), inval);
    EXPECT_EQ(KYT_PowerOnIcc(handle_, 0, buffer, nullptr), inval);
    EXPECT_EQ(KYT_PowerOffIcc(handle_, 3), inval);
    EXPECT_EQ(KYT_GetIccStatus(handle_, 3, &status), inval);
    EXPECT_EQ(KYT_GetIccStatus(handle_, 0, nullptr), inval);
    EXPECT_EQ(status, 7UL);
    EXPECT_EQ(KYT_ExchangeApdu(handle_, 0, apdu, 0, buffer, &length), inval);
    EXPECT_EQ(KYT_ExchangeApdu(handle_, 0, nullptr, 5, buffer, &length), inval);
    EXPECT_EQ(KYT_ExchangeApdu(handle_, 0, apdu, 5, nullptr, &length), inval);
    EXPECT_EQ(KYT_ExchangeApdu(handle_, 0, apdu, 5, buffer, nullptr), inval);
    length = 0;
    EXPECT_EQ(KYT_ExchangeApdu(handle_, 0, apdu, 5, buffer, &length), inval);
    EXPECT_EQ(KYT_ExchangeApdu(handle_, 3, apdu, 5, buffer, &length), inval);

    const struct {
        KYT_ULONG slot, code;
        const unsigned char *in;
        KYT_ULONG inSize;
        unsigned char *out;
        KYT_ULONG outSize;
    } controls[] = {
        {3, KYT_IOCTL_ESCAPE, escape, 5, buffer, 64},
        {0, 3501, escape, 5, buffer, 64},
        {0, 0, escape, 5, buffer, 64},
        {0, KYT_IOCTL_ESCAPE, escape, 0, buffer, 64},
        {0, KYT_IOCTL_ESCAPE, nullptr, 5, buffer, 64},
        {0, KYT_IOCTL_ESCAPE, escape, 5, nullptr, 64},
        {0, KYT_IOCTL_ESCAPE, escape, 5, buffer, 0},
        {0, KYT_IOCTL_ESCAPE, setSpeed, 2, buffer, 64},
    };
    for (const auto &c : controls) {
        returned = 9;
        EXPECT_EQ(KYT_Control(handle_, c.slot, c.code, c.in, c.inSize, c.out, c.outSize, &returned), inval);
        EXPECT_EQ(returned, 0UL);
    }
    returned = 9;
    EXPECT_EQ(KYT_Control(nullptr, 0, KYT_IOCTL_ESCAPE, escape, 5, buffer, 64, &returned), inval);
    EXPECT_EQ(returned, 0UL);
    EXPECT_TRUE(sim_->Commands().empty());
}

TEST_F(Slots, PowerOnStoresTheAtr)
{
    const Bytes atr = rig::PlainCard().atr;
    unsigned char buffer[64] = {};
    KYT_ULONG length = sizeof(buffer);
    ASSERT_EQ(KYT_PowerOnIcc(handle_, 0, buffer, &length), 0UL);
    ASSERT_EQ(length, atr.size());
    EXPECT_EQ(Bytes(buffer, buffer + length), atr);
    EXPECT_EQ(Card(0).AtrLength, atr.size());
    EXPECT_EQ(Bytes(Card(0).Atr, Card(0).Atr + atr.size()), atr);
    EXPECT_TRUE(sim_->CardPowered(0));

    std::vector<Bytes> ons = rig::CommandsOfType(*sim_, PC_TO_RDR_ICCPOWERON);
    ASSERT_EQ(ons.size(), 1u);
    EXPECT_EQ(ons[0], (Bytes{0x62, 0, 0, 0, 0, 0, ons[0][CCID_OFFSET_SEQ], 0, 0, 0}));
}

TEST_F(Slots, PowerOnWithoutBufferReportsTheLength)
{
    KYT_ULONG length = 64;
    ASSERT_EQ(KYT_PowerOnIcc(handle_, 0, nullptr, &length), 0UL);
    EXPECT_EQ(length, 19UL);
    EXPECT_EQ(Card(0).AtrLength, 19);
}

TEST_F(Slots, PowerOnWithTooSmallBufferKeepsTheAtrInTheSlot)
{
    unsigned char buffer[10];
    memset(buffer, 0xAA, sizeof(buffer));
    KYT_ULONG length = sizeof(buffer);
    EXPECT_EQ(KYT_PowerOnIcc(handle_, 0, buffer, &length), static_cast<KYT_ULONG>(E2BIG));
    EXPECT_EQ(length, 19UL);
    for (unsigned char byte : buffer)
        EXPECT_EQ(byte, 0xAA);
    EXPECT_EQ(Card(0).AtrLength, 19);
    EXPECT_TRUE(sim_->CardPowered(0));
}

TEST_F(Slots, PowerOnFailuresForgetTheAtr)
{
    KYT_ULONG length = 64;
    ASSERT_EQ(KYT_PowerOnIcc(handle_, 0, nullptr, &length), 0UL);

    kytsim::Card mute = rig::PlainCard();
    mute.mute = true;
    sim_->InsertCard(0, mute);
    length = 64;
    EXPECT_EQ(KYT_PowerOnIcc(handle_, 0, nullptr, &length), KYT_ERR_UNRESPONSIVE_CARD);
    EXPECT_EQ(length, 0UL);
    EXPECT_EQ(Card(0).AtrLength, 0);

    length = 64;
    EXPECT_EQ(KYT_PowerOnIcc(handle_, 1, nullptr, &length), KYT_ERR_REMOVED_CARD);
    EXPECT_EQ(length, 0UL);
}

TEST_F(Slots, IccStatusFollowsTheCard)
{
    KYT_ULONG status = 99, length = 64;
    EXPECT_EQ(KYT_GetIccStatus(handle_, 0, &status), 0UL);
    EXPECT_EQ(status, KYT_ICC_PRESENT);
    ASSERT_EQ(KYT_PowerOnIcc(handle_, 0, nullptr, &length), 0UL);
    EXPECT_EQ(KYT_GetIccStatus(handle_, 0, &status), 0UL);
    EXPECT_EQ(status, KYT_ICC_POWERED);
    EXPECT_EQ(Card(0).AtrLength, 19);

    EXPECT_EQ(KYT_PowerOffIcc(handle_, 0), 0UL);
    EXPECT_EQ(Card(0).AtrLength, 0);
    // The ATR bytes themselves are kept; only the length says "no card".
    EXPECT_EQ(Card(0).Atr[0], 0x3B);
    EXPECT_EQ(KYT_GetIccStatus(handle_, 0, &status), 0UL);
    EXPECT_EQ(status, KYT_ICC_PRESENT);

    ASSERT_EQ(KYT_PowerOnIcc(handle_, 0, nullptr, &length), 0UL);
    sim_->RemoveCard(0);
    EXPECT_EQ(KYT_GetIccStatus(handle_, 0, &status), 0UL);
    EXPECT_EQ(status, KYT_ICC_ABSENT);
    EXPECT_EQ(Card(0).AtrLength, 0);
}

TEST_F(Slots, PowerOffForgetsTheAtrEvenWhenTheReaderIsSilent)
{
    KYT_ULONG length = 64;
    ASSERT_EQ(KYT_PowerOnIcc(handle_, 0, nullptr, &length), 0UL);
    rig::ShortenTimeouts(handle_);
    kytsim::Faults faults;
    faults.dropAcks = 2;
    sim_->InjectFaults(faults);
    EXPECT_EQ(KYT_PowerOffIcc(handle_, 0), static_cast<KYT_ULONG>(EIO));
    EXPECT_EQ(Card(0).AtrLength, 0);
    KYT_ULONG protocol = 9;
    EXPECT_EQ(KYT_SetProtocol(handle_, 0, KYT_PROTOCOL_T0, &protocol), KYT_ERR_UNPOWERED_CARD);
    EXPECT_EQ(protocol, 0UL);
}

TEST_F(Slots, ExchangeApduWithTheCard)
{
    kytsim::Card card = rig::PlainCard();
    card.handler = [](const Bytes &apdu) {
        Bytes response(apdu.rbegin(), apdu.rend());
        response.push_back(0x90);
        response.push_back(0x00);
        return response;
    };
    sim_->InsertCard(1, card);
    KYT_ULONG length = 64;
    ASSERT_EQ(KYT_PowerOnIcc(handle_, 1, nullptr, &length), 0UL);
    sim_->ClearLog();

    const unsigned char apdu[] = {0x00, 0xA4, 0x04, 0x00, 0x00};
    unsigned char response[16];
    length = sizeof(response);
    ASSERT_EQ(KYT_ExchangeApdu(handle_, 1, apdu, sizeof(apdu), response, &length), 0UL);
    EXPECT_EQ(Bytes(response, response + length), (Bytes{0x00, 0x00, 0x04, 0xA4, 0x00, 0x90, 0x00}));

    std::vector<Bytes> blocks = rig::CommandsOfType(*sim_, PC_TO_RDR_XFRBLOCK);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0], (Bytes{0x6F, 0x05, 0x00, 0x00, 0x00, 0x01, blocks[0][CCID_OFFSET_SEQ], 0x00, 0x00, 0x00, 0x00,
                                0xA4, 0x04, 0x00, 0x00}));
}

TEST_F(Slots, StatusMapping)
{
    const unsigned char apdu[] = {0x00, 0xB0, 0x00, 0x00, 0x00};
    unsigned char response[300];
    KYT_ULONG length = sizeof(response);

    // No card: the removed-card code from every slot operation but escape.
    EXPECT_EQ(KYT_ExchangeApdu(handle_, 1, apdu, sizeof(apdu), response, &length), KYT_ERR_REMOVED_CARD);
    // Card present but mute: time-out, mapped only by power-on.
    kytsim::Card mute = rig::PlainCard();
    mute.mute = true;
    sim_->InsertCard(2, mute);
    length = sizeof(response);
    EXPECT_EQ(KYT_ExchangeApdu(handle_, 2, apdu, sizeof(apdu), response, &length), static_cast<KYT_ULONG>(ETIMEDOUT));
}

TEST_F(Slots, ControlPassesEscapeCommands)
{
    const Bytes &query = demo::kFirmwareQuery;
    unsigned char reply[35];
    KYT_ULONG returned = 0;
    ASSERT_EQ(KYT_Control(handle_, 0, KYT_IOCTL_ESCAPE, query.data(), query.size(), reply, sizeof(reply), &returned),
              0UL);
    Bytes expected = kytsim::FirmwareReply(kytsim::Model::KYT7710P_V3);
    EXPECT_EQ(Bytes(reply, reply + returned), expected);

    // Without a place for the length the reply still arrives.
    memset(reply, 0, sizeof(reply));
    ASSERT_EQ(KYT_Control(handle_, 0, KYT_IOCTL_ESCAPE, query.data(), query.size(), reply, sizeof(reply), nullptr),
              0UL);
    EXPECT_EQ(Bytes(reply, reply + expected.size()), expected);

    // A reply longer than the buffer.
    returned = 5;
    EXPECT_EQ(KYT_Control(handle_, 0, KYT_IOCTL_ESCAPE, query.data(), query.size(), reply, 4, &returned),
              static_cast<KYT_ULONG>(E2BIG));
    EXPECT_EQ(returned, 0UL);
}

TEST_F(Slots, ControlMapsNothing)
{
    // The reader refuses an escape for the empty slot 1 as "card mute" with no
    // card: the other slot operations would turn that into the removed-card
    // code, escape commands pass it on as it is.
    sim_->SetEscapeHandler([](uint8_t, const Bytes &) { return std::optional<Bytes>(); });
    sim_->SetEscapeFailureError(0xFE);
    const unsigned char command[] = {0x12, 0x34};
    unsigned char reply[8];
    KYT_ULONG returned = 3;
    EXPECT_EQ(KYT_Control(handle_, 1, KYT_IOCTL_ESCAPE, command, sizeof(command), reply, sizeof(reply), &returned),
              static_cast<KYT_ULONG>(ENOMEDIUM));
    EXPECT_EQ(returned, 0UL);

    sim_->SetEscapeFailureError(0x00);
    returned = 3;
    EXPECT_EQ(KYT_Control(handle_, 0, KYT_IOCTL_ESCAPE, command, sizeof(command), reply, sizeof(reply), &returned),
              static_cast<KYT_ULONG>(EIO));
    EXPECT_EQ(returned, 0UL);
}

TEST_F(Slots, AllOnesStatusRetriesSendsNothing)
{
    KYT_TIMEOUTS timeouts = {2000, ~0UL, 10000, 1};
    ASSERT_EQ(KYT_SetTimeouts(handle_, &timeouts), 0UL);
    sim_->ClearLog();
    KYT_ULONG status = 9;
    EXPECT_EQ(KYT_GetIccStatus(handle_, 0, &status), static_cast<KYT_ULONG>(EIO));
    EXPECT_EQ(status, KYT_ICC_UNKNOWN);
    EXPECT_TRUE(sim_->Log().empty());
}

TEST_F(Slots, SequenceNumbersRunOnAcrossOperations)
{
    uint8_t first = handle_->sequenceNumber;
    KYT_ULONG status;
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(KYT_GetIccStatus(handle_, 0, &status), 0UL);
    std::vector<Bytes> queries = rig::CommandsOfType(*sim_, PC_TO_RDR_GETSLOTSTATUS);
    ASSERT_EQ(queries.size(), 3u);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(queries[i][CCID_OFFSET_SEQ], static_cast<uint8_t>(first + i));
}

} // namespace
