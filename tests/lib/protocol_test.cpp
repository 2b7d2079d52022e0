// Protocol selection end to end: the library on a pseudo-terminal with the
// simulated reader at the other end, checking what reaches the reader, what
// the call returns and what the slot record holds afterwards.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ccid.h"
#include "device.h"
#include "reader_rig.h"

namespace {

using kytsim::Bytes;

using rig::Hex;

kytsim::Card CardWithAtr(const char *atr)
{
    kytsim::Card card;
    card.atr = Hex(atr);
    return card;
}

// A negotiable T=1-only card (TA1 13): the pair 1/3 on the first slots.
constexpr const char *kT1Negotiable = "3B F8 13 00 00 81 31 FE 45 11 22 33 44 55 66 77 88 68";
// A negotiable T=0 card (TA1 96, six historical bytes).
constexpr const char *kT0Negotiable = "3B 16 96 00 11 22 33 44 55";
// T=0 and T=1 at the default factors.
constexpr const char *kDualProtocol = "3B 80 80 31 FE 45 8A";
// Specific mode announced by TA2, naming T=1.
constexpr const char *kT1Specific = "3B 90 11 11 01 91";

const KYT_ULONG kT0 = KYT_PROTOCOL_T0, kT1 = KYT_PROTOCOL_T1;
const KYT_ULONG kNotWritten = 0xDEADBEEF;

class Protocol : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim_ = rig::StartSim();
        ASSERT_TRUE(sim_);
        handle_ = rig::Open(*sim_);
        ASSERT_NE(handle_, nullptr);
        rig::ShortenTimeouts(handle_, 500, 500);
    }
    void TearDown() override
    {
        if (handle_ != nullptr) {
            EXPECT_EQ(KYT_Close(handle_), 0UL);
        }
    }

    // Inserts and powers on a card, then forgets what the line carried so far.
    void PowerOn(unsigned slot, const char *atr)
    {
        sim_->InsertCard(slot, CardWithAtr(atr));
        unsigned char buffer[64];
        KYT_ULONG length = sizeof(buffer);
        ASSERT_EQ(KYT_PowerOnIcc(handle_, slot, buffer, &length), 0UL);
        ASSERT_EQ(Bytes(buffer, buffer + length), Hex(atr));
        sim_->ClearLog();
    }

    KYT_STATUS Select(unsigned slot, KYT_ULONG request, KYT_ULONG *active)
    {
        *active = kNotWritten;
        return KYT_SetProtocol(handle_, slot, request, active);
    }

    ReaderDevice *Device() { return handle_; }
    SlotInfo &Slot(unsigned slot) { return Device()->slotInfo[slot]; }

    std::vector<Bytes> SetParameters() { return rig::CommandsOfType(*sim_, PC_TO_RDR_SETPARAMETERS); }
    // The message types that reached the reader, in order.
    std::vector<uint8_t> CommandTypes()
    {
        std::vector<uint8_t> types;
        for (const Bytes &m : sim_->Commands())
            types.push_back(m.empty() ? 0 : m[0]);
        return types;
    }

    std::unique_ptr<kytsim::SimReader> sim_;
    ReaderHandle handle_ = nullptr;
};

// Everything but bSeq; the header's byte 6 is compared separately.
Bytes WithoutSequence(Bytes message)
{
    if (message.size() > CCID_OFFSET_SEQ)
        message[CCID_OFFSET_SEQ] = 0;
    return message;
}

TEST_F(Protocol, ArgumentErrorsSendNothingAndReportNoProtocol)
{
    PowerOn(0, kDualProtocol);
    uint8_t flagBefore = Slot(0).Card.NegotiationFlag;
    KYT_ULONG active = kNotWritten;
    ReaderHandle unlisted = reinterpret_cast<ReaderHandle>(&active);

    struct Case {
        ReaderHandle handle;
        KYT_ULONG slot;
        KYT_ULONG request;
    };
    const Case cases[] = {
        {nullptr, 0, kT1}, {unlisted, 0, kT1}, {handle_, 3, kT1},          {handle_, ~0UL, kT0},
        {handle_, 0, 0},   {handle_, 0, 4},    {handle_, 0, 0x80000000UL}, {handle_, 0, 0xFFFFFFFCUL},
    };
    for (const Case &c : cases) {
        active = kNotWritten;
        EXPECT_EQ(KYT_SetProtocol(c.handle, c.slot, c.request, &active), static_cast<KYT_ULONG>(EINVAL))
            << "slot " << c.slot << " request " << std::hex << c.request;
        EXPECT_EQ(active, 0UL);
        EXPECT_EQ(KYT_SetProtocol(c.handle, c.slot, c.request, nullptr), static_cast<KYT_ULONG>(EINVAL));
    }
    EXPECT_TRUE(sim_->Commands().empty());
    EXPECT_EQ(Slot(0).Card.NegotiationFlag, flagBefore);
}

TEST_F(Protocol, UnpoweredSlotIsRefusedWithoutAMessage)
{
    KYT_ULONG active;
    sim_->InsertCard(1, CardWithAtr(kDualProtocol));
    sim_->ClearLog();
    EXPECT_EQ(Select(1, kT0 | kT1, &active), KYT_ERR_UNPOWERED_CARD) << "never powered";
    EXPECT_EQ(active, 0UL);
    EXPECT_EQ(Slot(1).Reader.CardMode, 0UL);

    PowerOn(1, kDualProtocol);
    ASSERT_EQ(KYT_PowerOffIcc(handle_, 1), 0UL);
    sim_->ClearLog();
    EXPECT_EQ(Select(1, kT0 | kT1, &active), KYT_ERR_UNPOWERED_CARD) << "after power-off";
    EXPECT_EQ(active, 0UL);
    EXPECT_TRUE(sim_->Commands().empty());
}

TEST_F(Protocol, NegotiatedT1MessageAndResult)
{
    PowerOn(0, kT1Negotiable);
    KYT_ULONG active;
    EXPECT_EQ(Select(0, kT0, &active), KYT_ERR_PROTO_MISMATCH);
    EXPECT_EQ(active, 0UL);
    EXPECT_TRUE(SetParameters().empty());

    Device()->sequenceNumber = 5;
    EXPECT_EQ(Select(0, kT1, &active), 0UL);
    EXPECT_EQ(active, kT1);
    ASSERT_EQ(SetParameters().size(), 1u);
    EXPECT_EQ(SetParameters()[0], Hex("61 07 00 00 00 00 05 01 00 00 13 10 00 45 00 FE 00"));
    const SlotInfo &slot = Slot(0);
    EXPECT_EQ(slot.Card.FiIndex, 1);
    EXPECT_EQ(slot.Card.DiIndex, 3);
    EXPECT_EQ(slot.Reader.CardMode, CARD_MODE_SPECIFIC);
    EXPECT_EQ(slot.Card.SelectedProtocol, kT1);
    EXPECT_EQ(slot.Card.NegotiationFlag, 1);
    EXPECT_EQ(Device()->sequenceNumber, 6);
}

TEST_F(Protocol, NegotiatedT0MessageOnSlot1)
{
    PowerOn(1, kT0Negotiable);
    Device()->sequenceNumber = 0;
    KYT_ULONG active;
    EXPECT_EQ(Select(1, kT0, &active), 0UL);
    EXPECT_EQ(active, kT0);
    ASSERT_EQ(SetParameters().size(), 1u);
    EXPECT_EQ(SetParameters()[0], Hex("61 05 00 00 00 01 00 00 00 00 96 00 00 0A 00"));
    EXPECT_EQ(Slot(1).Card.FiIndex, 9);
    EXPECT_EQ(Slot(1).Card.DiIndex, 6);
}

// The parameter bytes for cards of different kinds; bSeq is checked to
// follow the previous message.
TEST_F(Protocol, ParameterMessagesFollowTheCard)
{
    struct Case {
        const char *atr;
        KYT_ULONG request;
        KYT_ULONG active;
        const char *message; // bSeq shown as 00
    };
    const Case cases[] = {
        // Both offered: T=1 preferred; T=0 when only T=0 is asked for.
        {kDualProtocol, kT0 | kT1, kT1, "61 07 00 00 00 02 00 01 00 00 11 10 00 45 00 FE 00"},
        {kDualProtocol, kT0, kT0, "61 05 00 00 00 02 00 00 00 00 11 00 00 0A 00"},
        // Inverse convention, CRC and an IFSC of 255 sent as 32.
        {"3F 80 81 71 FF 45 01 CB", kT1, kT1, "61 07 00 00 00 02 00 01 00 00 11 13 00 45 00 20 00"},
        {"3F 80 81 31 FE 45 8B", kT0 | kT1, kT1, "61 07 00 00 00 02 00 01 00 00 11 12 00 45 00 FE 00"},
        // Extra guard time and waiting integer of a T=0 card (TC1 FF, TC2 20).
        {"3B D0 96 FF 40 20", kT0, kT0, "61 05 00 00 00 02 00 00 00 00 95 00 FF 20 00"},
        // Slot 2 of this reader accepts at most 125000 bit/s: 9/5 instead of 9/6.
        {kT0Negotiable, kT0, kT0, "61 05 00 00 00 02 00 00 00 00 95 00 00 0A 00"},
        // Fi index 13 with Di index 1 allows no faster pair: 1/1.
        {"3B 10 D1", kT0, kT0, "61 05 00 00 00 02 00 00 00 00 11 00 00 0A 00"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.atr);
        PowerOn(2, c.atr);
        uint8_t sequence = Device()->sequenceNumber;
        KYT_ULONG active;
        EXPECT_EQ(Select(2, c.request, &active), 0UL);
        EXPECT_EQ(active, c.active);
        std::vector<Bytes> sent = SetParameters();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(WithoutSequence(sent[0]), Hex(c.message));
        EXPECT_EQ(sent[0][CCID_OFFSET_SEQ], sequence);
        // Once accepted, the slot works at the pair that was sent.
        const CardCapabilities &card = Slot(2).Card;
        EXPECT_EQ((card.FiIndex << 4) | card.DiIndex, sent[0][10]);
        EXPECT_EQ(Slot(2).Reader.CardMode, CARD_MODE_SPECIFIC);
    }
}

TEST_F(Protocol, DefaultSpeedKeepsTheFactorsAndNeverRetries)
{
    PowerOn(0, kT1Negotiable);
    KYT_ULONG active;
    EXPECT_EQ(Select(0, KYT_PROTOCOL_DEFAULT_SPEED | kT1, &active), 0UL);
    EXPECT_EQ(active, kT1);
    ASSERT_EQ(SetParameters().size(), 1u);
    EXPECT_EQ(SetParameters()[0][10], 0x11);
    EXPECT_EQ(Slot(0).Card.FiIndex, 1);
    EXPECT_EQ(Slot(0).Card.DiIndex, 1);
    EXPECT_EQ(Slot(0).Card.NegotiationFlag, 0);

    sim_->ClearLog();
    sim_->RefuseSetParameters(0, -1);
    EXPECT_EQ(Select(0, KYT_PROTOCOL_DEFAULT_SPEED | kT1, &active), static_cast<KYT_ULONG>(EIO));
    EXPECT_EQ(active, 0UL);
    EXPECT_EQ(CommandTypes(), std::vector<uint8_t>{PC_TO_RDR_SETPARAMETERS});
    EXPECT_EQ(Slot(0).Card.SelectedProtocol, 0UL);
    EXPECT_EQ(Slot(0).Reader.CardMode, CARD_MODE_NEGOTIABLE);
    EXPECT_TRUE(sim_->CardPowered(0));
}

TEST_F(Protocol, SpecificModeReportsTheCardsProtocolWhateverTheReaderSays)
{
    PowerOn(0, kT1Specific);
    KYT_ULONG active;
    EXPECT_EQ(Select(0, kT0, &active), KYT_ERR_PROTO_MISMATCH);
    EXPECT_EQ(active, 0UL);
    EXPECT_TRUE(SetParameters().empty());

    for (int refuse : {0, -1}) {
        sim_->RefuseSetParameters(0, refuse);
        for (KYT_ULONG request : {kT1, kT0 | kT1}) {
            sim_->ClearLog();
            EXPECT_EQ(Select(0, request, &active), 0UL) << "refuse " << refuse;
            EXPECT_EQ(active, kT1);
            // One message, no power cycle, and the parse's own factors kept.
            EXPECT_EQ(CommandTypes(), std::vector<uint8_t>{PC_TO_RDR_SETPARAMETERS});
            EXPECT_EQ(Slot(0).Reader.CardMode, CARD_MODE_SPECIFIC);
            EXPECT_EQ(Slot(0).Card.SelectedProtocol, kT1);
        }
    }
}

// TA2 may name a protocol the reader has no parameter structure for; the
// message is then not sent at all, but its sequence number is used up.
TEST_F(Protocol, SpecificModeWithAnotherProtocolSendsNothing)
{
    PowerOn(0, "3B 90 11 10 14");
    ASSERT_EQ(Slot(0).Card.AtrLength, 5);
    uint8_t sequence = Device()->sequenceNumber;
    KYT_ULONG active;
    EXPECT_EQ(Select(0, kT0, &active), KYT_ERR_PROTO_MISMATCH);
    EXPECT_EQ(Select(0, 0x10 | kT0, &active), 0UL);
    EXPECT_EQ(active, 0x10UL);
    EXPECT_TRUE(sim_->Commands().empty());
    EXPECT_EQ(Device()->sequenceNumber, static_cast<uint8_t>(sequence + 1));
}

TEST_F(Protocol, CardsThatCannotBeUsedSendNothing)
{
    struct Case {
        const char *atr;
        KYT_STATUS status;
    };
    const Case cases[] = {
        {"3B 80 0F 8F", KYT_ERR_PROTO_MISMATCH},            // only T=15 named
        {"3B 10 10", KYT_ERR_UNSUPPORTED_CARD},             // reserved Di index
        {"3B 80 81 31 FE 45 00", KYT_ERR_UNSUPPORTED_CARD}, // wrong check byte
        {"3B 80 81 81 81 01 00", KYT_ERR_UNSUPPORTED_CARD}, // T=1 parameters beyond group 4
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.atr);
        PowerOn(0, c.atr);
        for (KYT_ULONG request : {kT0, kT1, kT0 | kT1, KYT_PROTOCOL_DEFAULT_SPEED | kT0 | kT1}) {
            KYT_ULONG active;
            EXPECT_EQ(Select(0, request, &active), c.status) << std::hex << request;
            EXPECT_EQ(active, 0UL);
        }
        EXPECT_TRUE(sim_->Commands().empty());
    }
}

// The first message refused, the card reset, the same parameters accepted.
// The card answers the second reset with another ATR, which is stored but not
// parsed, so the second message repeats the first.
TEST_F(Protocol, RefusalIsRetriedOnceAfterAPowerCycle)
{
    PowerOn(0, kT1Negotiable);
    sim_->InsertCard(0, CardWithAtr(kT0Negotiable));
    sim_->RefuseSetParameters(0, 1);

    KYT_ULONG active;
    EXPECT_EQ(Select(0, kT1, &active), 0UL);
    EXPECT_EQ(active, kT1);
    std::vector<uint8_t> expected = {PC_TO_RDR_SETPARAMETERS, PC_TO_RDR_ICCPOWEROFF, PC_TO_RDR_ICCPOWERON,
                                     PC_TO_RDR_SETPARAMETERS};
    ASSERT_EQ(CommandTypes(), expected);

    std::vector<Bytes> sent = SetParameters();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(WithoutSequence(sent[0]), WithoutSequence(sent[1]));
    EXPECT_EQ(sent[1][CCID_OFFSET_SEQ], static_cast<uint8_t>(sent[0][CCID_OFFSET_SEQ] + 3));
    EXPECT_EQ(sent[0][10], 0x13);

    // At least 10 ms from the power-off command to the power-on command.
    std::vector<kytsim::LogEntry> log = sim_->Log();
    kytsim::Clock::time_point powerOff{}, powerOn{};
    for (const kytsim::LogEntry &entry : log) {
        if (entry.direction != kytsim::Direction::HostToReader || entry.bytes.size() < 2)
            continue;
        if (entry.bytes[1] == PC_TO_RDR_ICCPOWEROFF)
            powerOff = entry.time;
        if (entry.bytes[1] == PC_TO_RDR_ICCPOWERON)
            powerOn = entry.time;
    }
    ASSERT_NE(powerOff, kytsim::Clock::time_point{});
    ASSERT_NE(powerOn, kytsim::Clock::time_point{});
    EXPECT_GE(powerOn - powerOff, std::chrono::milliseconds(10));

    const SlotInfo &slot = Slot(0);
    EXPECT_EQ(Bytes(slot.Card.Atr, slot.Card.Atr + slot.Card.AtrLength), Hex(kT0Negotiable));
    EXPECT_EQ(slot.Reader.CardMode, CARD_MODE_SPECIFIC);
    EXPECT_EQ(slot.Card.FiIndex, 1);
    EXPECT_EQ(slot.Card.DiIndex, 3);
    EXPECT_EQ(slot.Card.SelectedProtocol, kT1);
    EXPECT_EQ(slot.Card.NegotiationFlag, 0);
    EXPECT_TRUE(sim_->CardPowered(0));
}

// The whole selection, power cycle included, holds the reader: a status
// query from another thread reaches the reader only after it.
TEST_F(Protocol, OtherCallsWaitForTheWholeSelection)
{
    PowerOn(0, kT1Negotiable);
    sim_->RefuseSetParameters(0, 1);
    sim_->SetResponseDelay(std::chrono::milliseconds(20));

    KYT_ULONG active = kNotWritten;
    KYT_STATUS status = kNotWritten;
    std::thread selection([&] { status = KYT_SetProtocol(handle_, 0, kT1, &active); });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (SetParameters().empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    KYT_ULONG icc = 0;
    EXPECT_EQ(KYT_GetIccStatus(handle_, 1, &icc), 0UL);
    selection.join();

    EXPECT_EQ(status, 0UL);
    std::vector<uint8_t> expected = {PC_TO_RDR_SETPARAMETERS, PC_TO_RDR_ICCPOWEROFF, PC_TO_RDR_ICCPOWERON,
                                     PC_TO_RDR_SETPARAMETERS, PC_TO_RDR_GETSLOTSTATUS};
    EXPECT_EQ(CommandTypes(), expected);
}

TEST_F(Protocol, BothAttemptsRefusedGivesUp)
{
    PowerOn(0, kT1Negotiable);
    sim_->InsertCard(0, CardWithAtr(kDualProtocol));
    sim_->RefuseSetParameters(0, -1);

    KYT_ULONG active;
    EXPECT_EQ(Select(0, kT1, &active), static_cast<KYT_ULONG>(EIO));
    EXPECT_EQ(active, 0UL);
    std::vector<uint8_t> expected = {PC_TO_RDR_SETPARAMETERS, PC_TO_RDR_ICCPOWEROFF, PC_TO_RDR_ICCPOWERON,
                                     PC_TO_RDR_SETPARAMETERS};
    EXPECT_EQ(CommandTypes(), expected);
    const SlotInfo &slot = Slot(0);
    EXPECT_EQ(slot.Card.SelectedProtocol, 0UL);
    EXPECT_EQ(slot.Reader.CardMode, CARD_MODE_NEGOTIABLE);
    EXPECT_EQ(slot.Card.FiIndex, 1);
    EXPECT_EQ(slot.Card.DiIndex, 3);
    EXPECT_EQ(slot.Card.NegotiationFlag, 0);
    EXPECT_EQ(Bytes(slot.Card.Atr, slot.Card.Atr + slot.Card.AtrLength), Hex(kDualProtocol));

    // The next call parses the new ATR and negotiates afresh.
    sim_->RefuseSetParameters(0, 0);
    sim_->ClearLog();
    EXPECT_EQ(Select(0, kT0 | kT1, &active), 0UL);
    EXPECT_EQ(active, kT1);
    EXPECT_EQ(SetParameters().size(), 1u);
}

// A card pulled before selection: the reader answers "no card", the retry's
// power-on finds none, and the slot forgets the ATR.
TEST_F(Protocol, RemovedCardEndsWithThePowerOnStatus)
{
    PowerOn(0, kT1Negotiable);
    sim_->RemoveCard(0);

    KYT_ULONG active;
    EXPECT_EQ(Select(0, kT1, &active), KYT_ERR_REMOVED_CARD);
    EXPECT_EQ(active, 0UL);
    std::vector<uint8_t> expected = {PC_TO_RDR_SETPARAMETERS, PC_TO_RDR_ICCPOWEROFF, PC_TO_RDR_ICCPOWERON};
    EXPECT_EQ(CommandTypes(), expected);
    EXPECT_EQ(Slot(0).Card.AtrLength, 0);
    EXPECT_EQ(Slot(0).Card.SelectedProtocol, 0UL);

    sim_->ClearLog();
    EXPECT_EQ(Select(0, kT1, &active), KYT_ERR_UNPOWERED_CARD);
    EXPECT_TRUE(sim_->Commands().empty());
}

// With the default speed requested there is no retry: a missing card is
// reported straight from the parameter message.
TEST_F(Protocol, RemovedCardWithoutRetryIsReportedAsRemoved)
{
    PowerOn(0, kT1Negotiable);
    sim_->RemoveCard(0);
    KYT_ULONG active;
    EXPECT_EQ(Select(0, KYT_PROTOCOL_DEFAULT_SPEED | kT1, &active), KYT_ERR_REMOVED_CARD);
    EXPECT_EQ(CommandTypes(), std::vector<uint8_t>{PC_TO_RDR_SETPARAMETERS});
    EXPECT_EQ(Slot(0).Card.AtrLength, Hex(kT1Negotiable).size());
}

TEST_F(Protocol, CardThatFallsSilentAtTheRetry)
{
    PowerOn(0, kT1Negotiable);
    kytsim::Card mute = CardWithAtr(kT1Negotiable);
    mute.mute = true;
    sim_->InsertCard(0, mute);
    sim_->RefuseSetParameters(0, 1);

    KYT_ULONG active;
    EXPECT_EQ(Select(0, kT1, &active), KYT_ERR_UNRESPONSIVE_CARD);
    EXPECT_EQ(active, 0UL);
    EXPECT_EQ(Slot(0).Card.AtrLength, 0);
    EXPECT_EQ(SetParameters().size(), 1u);
}

} // namespace
