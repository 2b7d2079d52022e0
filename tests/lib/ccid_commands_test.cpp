// The CCID command set: response checks, message bytes, power and slot
// status, escape, APDU chaining both ways and the sequence counter, against
// the simulated reader and, for answers it never gives, a scripted one.
#include <errno.h>

#include <mutex>

#include <gtest/gtest.h>

#include "ccid.h"
#include "demo_card.h"
#include "reader_rig.h"
#include "transport_rig.h"
#include "wire.h"

namespace {

using trig::Bytes;
using namespace std::chrono_literals;

constexpr KYT_ULONG kAllOnes = static_cast<KYT_ULONG>(-1);
constexpr uint8_t kNotWritten = 0xAA;

Bytes Pattern(size_t length)
{
    Bytes bytes(length);
    for (size_t i = 0; i < length; i++)
        bytes[i] = static_cast<uint8_t>(i * 7 + 1);
    return bytes;
}

uint32_t DwLength(const Bytes &message)
{
    return message[1] | message[2] << 8 | message[3] << 16 | static_cast<uint32_t>(message[4]) << 24;
}

uint16_t Level(const Bytes &message)
{
    return static_cast<uint16_t>(message[8] | message[9] << 8);
}

TEST(CheckResponse, Table)
{
    ReaderDevice device{};
    device.currentSlot = 1;
    device.sequenceNumber = 0x13; // the message just sent carried 0x12
    struct Row {
        const char *what;
        Bytes message;
        int result;
    } rows[] = {
        {"processed", wire::Response(0x80, 1, 0x12, 0x00, 0, 0), 0},
        {"processed, card inactive", wire::Response(0x80, 1, 0x12, 0x01, 0, 0), 0},
        {"processed, bError ignored", wire::Response(0x80, 1, 0x12, 0x02, 0xFE, 0), 0},
        {"nine bytes", Bytes{0x80, 0, 0, 0, 0, 1, 0x12, 0, 0}, EIO},
        {"wrong type", wire::Response(0x81, 1, 0x12, 0x00, 0, 0), EIO},
        {"wrong slot", wire::Response(0x80, 0, 0x12, 0x00, 0, 0), EIO},
        {"wrong sequence", wire::Response(0x80, 1, 0x13, 0x00, 0, 0), EIO},
        {"failed, other error", wire::Response(0x80, 1, 0x12, 0x40, 0xFB, 0), EIO},
        {"mute, card active", wire::Response(0x80, 1, 0x12, 0x40, 0xFE, 0), EIO},
        {"mute, card inactive", wire::Response(0x80, 1, 0x12, 0x41, 0xFE, 0), ETIMEDOUT},
        {"mute, no card", wire::Response(0x80, 1, 0x12, 0x42, 0xFE, 0), ENOMEDIUM},
        {"mute, card status 3", wire::Response(0x80, 1, 0x12, 0x43, 0xFE, 0), EIO},
        {"no card, other error", wire::Response(0x80, 1, 0x12, 0x42, 0x05, 0), EIO},
        {"time extension", wire::Response(0x80, 1, 0x12, 0x80, 0x01, 0), EIO},
        {"status 3", wire::Response(0x80, 1, 0x12, 0xC2, 0xFE, 0), EIO},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(CCID_CheckResponse(&device, row.message.data(), row.message.size(), 0x80), row.result) << row.what;
    }
    // The sequence number compared wraps with the counter.
    device.sequenceNumber = 0;
    Bytes last = wire::Response(0x80, 1, 0xFF, 0x00, 0, 0);
    EXPECT_EQ(CCID_CheckResponse(&device, last.data(), last.size(), 0x80), 0);
}

class SimCommandTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim = rig::StartSim();
        ASSERT_NE(sim, nullptr);
        device = trig::NewDevice(sim->PortPath(), 1000);
        ASSERT_NE(device, nullptr);
    }
    // The simulator's thread calls the card handler, which writes members
    // declared after `sim`: it must be gone before they are.
    void TearDown() override
    {
        trig::FreeDevice(device);
        if (sim)
            sim->Stop();
    }

    // A card that answers every APDU with `answer` and remembers the APDUs
    // it received.
    void InsertCard(uint8_t slot, const Bytes &answer)
    {
        kytsim::Card card = rig::PlainCard();
        card.handler = [this, answer](const Bytes &apdu) {
            std::lock_guard<std::mutex> guard(apduMutex);
            apdus.push_back(apdu);
            return answer;
        };
        sim->InsertCard(slot, card);
    }

    // A powered card in the slot, which becomes the current one; the log
    // starts after the power-on.
    void PoweredCard(uint8_t slot, const Bytes &answer)
    {
        InsertCard(slot, answer);
        device->currentSlot = slot;
        uint8_t atr[40];
        KYT_ULONG length = sizeof atr;
        ASSERT_EQ(CCID_IccPowerOn(device, atr, &length), 0);
        sim->ClearLog();
    }

    std::vector<Bytes> Apdus()
    {
        std::lock_guard<std::mutex> guard(apduMutex);
        return apdus;
    }

    int Xfr(const Bytes &command, KYT_ULONG capacity)
    {
        response.assign(capacity, 0);
        responseLength = capacity;
        return CCID_XfrBlock(device, command.data(), command.size(), response.data(), &responseLength);
    }

    Bytes Received() const { return Bytes(response.begin(), response.begin() + static_cast<long>(responseLength)); }

    std::unique_ptr<kytsim::SimReader> sim;
    ReaderDevice *device = nullptr;
    std::mutex apduMutex;
    std::vector<Bytes> apdus;
    Bytes response;
    KYT_ULONG responseLength = 0;
};

TEST_F(SimCommandTest, FirmwareEscapeOnTheWire)
{
    const Bytes &command = demo::kFirmwareQuery;
    uint8_t reply[64];
    KYT_ULONG length = sizeof reply;
    ASSERT_EQ(CCID_Escape(device, command.data(), command.size(), reply, &length), 0);
    EXPECT_EQ(Bytes(reply, reply + length), kytsim::FirmwareReply(kytsim::Model::KYT7710P_V3));

    const Bytes message = {0x6B, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0x00, 0x00, 0x18, 0x00};
    const Bytes frame = {0x02, 0x6B, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                         0x00, 0x00, 0xE0, 0x00, 0x00, 0x18, 0x00, 0x96, 0x03};
    EXPECT_EQ(sim->Commands(), std::vector<Bytes>{message});
    auto log = sim->Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0].direction, kytsim::Direction::HostToReader);
    EXPECT_EQ(log[0].bytes, frame);
    EXPECT_EQ(device->sequenceNumber, 1);
}

TEST_F(SimCommandTest, PowerOnReturnsTheAtr)
{
    const Bytes atr = rig::PlainCard().atr;
    InsertCard(0, {0x90, 0x00});
    device->sequenceNumber = 7;
    Bytes buffer(atr.size());
    KYT_ULONG length = atr.size(); // exactly the capacity
    ASSERT_EQ(CCID_IccPowerOn(device, buffer.data(), &length), 0);
    EXPECT_EQ(length, atr.size());
    EXPECT_EQ(buffer, atr);
    EXPECT_EQ(sim->Commands()[0], (Bytes{0x62, 0x00, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00}));
    EXPECT_TRUE(sim->CardPowered(0));

    length = atr.size() - 1;
    EXPECT_EQ(CCID_IccPowerOn(device, buffer.data(), &length), E2BIG);
    EXPECT_EQ(length, atr.size() - 1);

    EXPECT_EQ(CCID_IccPowerOff(device), 0);
    EXPECT_FALSE(sim->CardPowered(0));
}

TEST_F(SimCommandTest, CardStatesOfTheSlots)
{
    InsertCard(1, {0x90, 0x00});
    kytsim::Card mute = rig::PlainCard();
    mute.mute = true;
    sim->InsertCard(2, mute);
    struct Row {
        uint8_t slot;
        int powerOn;
        int status;
        uint8_t cardStatus;
    } rows[] = {
        {0, ENOMEDIUM, 0, CCID_ICC_ABSENT},
        {1, 0, 0, CCID_ICC_ACTIVE},
        {2, ETIMEDOUT, 0, CCID_ICC_INACTIVE},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.slot);
        device->currentSlot = row.slot;
        uint8_t atr[40];
        KYT_ULONG length = sizeof atr;
        EXPECT_EQ(CCID_IccPowerOn(device, atr, &length), row.powerOn);
        if (row.powerOn != 0) {
            EXPECT_EQ(length, sizeof atr);
        }
        uint8_t cardStatus = kNotWritten;
        EXPECT_EQ(CCID_GetSlotStatus(device, &cardStatus), row.status);
        EXPECT_EQ(cardStatus, row.cardStatus);
    }
}

TEST_F(SimCommandTest, ShortApduInOneMessage)
{
    PoweredCard(1, {0x6A, 0x82});
    device->sequenceNumber = 0x12;
    ASSERT_EQ(Xfr({0x00, 0xA4, 0x04, 0x00, 0x00}, 32), 0);
    EXPECT_EQ(Received(), (Bytes{0x6A, 0x82}));
    const Bytes message = {0x6F, 0x05, 0x00, 0x00, 0x00, 0x01, 0x12, 0x00, 0x00, 0x00, 0x00, 0xA4, 0x04, 0x00, 0x00};
    EXPECT_EQ(sim->Commands(), std::vector<Bytes>{message});
}

// Commands longer than the block size go in blocks of 261 with the level
// parameter marking begin, middle and end; every block takes its own bSeq.
TEST_F(SimCommandTest, LongCommandsAreChained)
{
    PoweredCard(0, {0x90, 0x00});
    struct Block {
        uint32_t size;
        uint16_t level;
    };
    struct Row {
        size_t length;
        std::vector<Block> blocks;
    } rows[] = {
        {261, {{261, 0x0000}}},
        {262, {{261, 0x0001}, {1, 0x0002}}},
        {600, {{261, 0x0001}, {261, 0x0003}, {78, 0x0002}}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.length);
        sim->ClearLog();
        {
            std::lock_guard<std::mutex> guard(apduMutex);
            apdus.clear();
        }
        uint8_t firstSeq = device->sequenceNumber;
        const Bytes command = Pattern(row.length);
        ASSERT_EQ(Xfr(command, 16), 0);
        EXPECT_EQ(Received(), (Bytes{0x90, 0x00}));
        EXPECT_EQ(Apdus(), std::vector<Bytes>{command});

        auto messages = sim->Commands();
        ASSERT_EQ(messages.size(), row.blocks.size());
        size_t offset = 0;
        for (size_t i = 0; i < messages.size(); i++) {
            EXPECT_EQ(DwLength(messages[i]), row.blocks[i].size);
            EXPECT_EQ(Level(messages[i]), row.blocks[i].level);
            EXPECT_EQ(messages[i][6], static_cast<uint8_t>(firstSeq + i));
            EXPECT_EQ(Bytes(messages[i].begin() + 10, messages[i].end()),
                      Bytes(command.begin() + static_cast<long>(offset),
                            command.begin() + static_cast<long>(offset + row.blocks[i].size)));
            offset += row.blocks[i].size;
        }
    }
}

// A response in three blocks (chain 01, 03, 02) is fetched with two empty
// 0x0010 messages and joined.
TEST_F(SimCommandTest, ChainedResponseIsJoined)
{
    const Bytes answer = Pattern(250);
    PoweredCard(0, answer);
    sim->SetMaxResponseBlock(100);
    ASSERT_EQ(Xfr({0x00, 0xB0, 0x00, 0x00, 0x00}, 300), 0);
    EXPECT_EQ(Received(), answer);

    auto messages = sim->Commands();
    ASSERT_EQ(messages.size(), 3u);
    for (size_t i = 1; i < 3; i++) {
        EXPECT_EQ(DwLength(messages[i]), 0u);
        EXPECT_EQ(Level(messages[i]), CCID_LEVEL_NEXT_RESPONSE);
    }
    std::vector<uint8_t> chains;
    for (const kytsim::LogEntry &entry : sim->Log()) {
        if (entry.direction == kytsim::Direction::ReaderToHost && entry.bytes.size() > 13)
            chains.push_back(entry.bytes[1 + CCID_OFFSET_CHAIN]);
    }
    EXPECT_EQ(chains, (std::vector<uint8_t>{0x01, 0x03, 0x02}));
}

// Exactly the capacity succeeds; one byte more is E2BIG, whether the excess
// comes in one message (the frame link refuses it) or in the last block of a
// chain (the join refuses it).  A failure leaves the length alone.
TEST_F(SimCommandTest, ResponseAtAndBeyondTheCapacity)
{
    const Bytes answer = Pattern(250);
    PoweredCard(0, answer);
    for (size_t block : {size_t{0}, size_t{100}}) {
        SCOPED_TRACE(block);
        sim->SetMaxResponseBlock(block);
        ASSERT_EQ(Xfr({0x00, 0xB0, 0x00, 0x00, 0x00}, 250), 0);
        EXPECT_EQ(Received(), answer);
        EXPECT_EQ(Xfr({0x00, 0xB0, 0x00, 0x00, 0x00}, 249), E2BIG);
        EXPECT_EQ(responseLength, 249u);
    }
}

// Counting from a fresh record, the 256th message carries bSeq 255 and the
// 257th bSeq 0; the reader's echo of 255 is accepted.
TEST_F(SimCommandTest, SequenceNumberWraps)
{
    for (int i = 0; i < 257; i++) {
        uint8_t cardStatus;
        ASSERT_EQ(CCID_GetSlotStatus(device, &cardStatus), 0) << i;
    }
    auto messages = sim->Commands();
    ASSERT_EQ(messages.size(), 257u);
    EXPECT_EQ(messages[0][6], 0);
    EXPECT_EQ(messages[255][6], 255);
    EXPECT_EQ(messages[256][6], 0);
    EXPECT_EQ(device->sequenceNumber, 1);
}

// Answers the simulator never gives, from a scripted reader.
class ScriptedCommandTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(peer.Start());
        device = trig::NewDevice(peer.Path(), 200);
        ASSERT_NE(device, nullptr);
    }
    void TearDown() override { trig::FreeDevice(device); }

    // Scripts the answer to the next message, echoing its slot and bSeq.
    void Answer(uint8_t type, uint8_t status, uint8_t error, uint8_t chain, const Bytes &data = {},
                uint8_t seqOffset = 0)
    {
        auto seq = static_cast<uint8_t>(device->sequenceNumber + seqOffset);
        peer.AddReply(wire::AckAndFrame(wire::Response(type, device->currentSlot, seq, status, error, chain, data)));
    }

    trig::ScriptedPeer peer;
    ReaderDevice *device = nullptr;
};

// The card status byte is written when the reader answered the question,
// "no card" included, and left alone otherwise.
TEST_F(ScriptedCommandTest, SlotStatusOutByte)
{
    struct Row {
        const char *what;
        uint8_t status;
        uint8_t error;
        int result;
        uint8_t cardStatus;
    } rows[] = {
        {"active", 0x00, 0x00, 0, 0},
        {"inactive", 0x01, 0x00, 0, 1},
        {"no card", 0x42, 0xFE, ENOMEDIUM, 2},
        {"mute card", 0x41, 0xFE, ETIMEDOUT, kNotWritten},
        {"time extension", 0x80, 0x00, EIO, kNotWritten},
    };
    device->currentSlot = 2;
    for (const Row &row : rows) {
        Answer(RDR_TO_PC_SLOTSTATUS, row.status, row.error, 0);
        uint8_t cardStatus = kNotWritten;
        EXPECT_EQ(CCID_GetSlotStatus(device, &cardStatus), row.result) << row.what;
        EXPECT_EQ(cardStatus, row.cardStatus) << row.what;
    }

    // A reader that does not answer: EIO, no card status, and the sequence
    // number taken all the same.
    uint8_t before = device->sequenceNumber;
    uint8_t cardStatus = kNotWritten;
    EXPECT_EQ(CCID_GetSlotStatus(device, &cardStatus), EIO);
    EXPECT_EQ(cardStatus, kNotWritten);
    EXPECT_EQ(device->sequenceNumber, static_cast<uint8_t>(before + 1));
}

TEST_F(ScriptedCommandTest, PowerOnAnswers)
{
    uint8_t atr[33];
    KYT_ULONG length = sizeof atr;
    Answer(RDR_TO_PC_DATABLOCK, 0x00, 0x00, 0); // no data: an empty answer-to-reset
    EXPECT_EQ(CCID_IccPowerOn(device, atr, &length), 0);
    EXPECT_EQ(length, 0u);

    struct Row {
        const char *what;
        uint8_t type;
        uint8_t seqOffset;
    } rows[] = {
        {"slot status instead of data block", RDR_TO_PC_SLOTSTATUS, 0},
        {"stale sequence number", RDR_TO_PC_DATABLOCK, 0xFF},
    };
    for (const Row &row : rows) {
        length = sizeof atr;
        Answer(row.type, 0x00, 0x00, 0, {0x3B, 0x00}, row.seqOffset);
        EXPECT_EQ(CCID_IccPowerOn(device, atr, &length), EIO) << row.what;
        EXPECT_EQ(length, sizeof atr) << row.what;
    }
}

TEST_F(ScriptedCommandTest, UnknownChainParameterFails)
{
    Answer(RDR_TO_PC_DATABLOCK, 0x00, 0x00, 0x04, {0x90, 0x00});
    uint8_t reply[16];
    KYT_ULONG length = sizeof reply;
    const Bytes command = {0x00, 0xB0, 0x00, 0x00, 0x00};
    EXPECT_EQ(CCID_XfrBlock(device, command.data(), command.size(), reply, &length), EIO);
    EXPECT_EQ(length, sizeof reply);
}

// A reader that keeps saying "more follows" without data, once the command
// is out, is given up after sixteen such answers in a row.
TEST_F(ScriptedCommandTest, EndlessEmptyContinuationIsBounded)
{
    const uint8_t chains[] = {CCID_CHAIN_BEGIN, CCID_CHAIN_CONTINUE, CCID_CHAIN_NEXT_COMMAND};
    for (int i = 0; i < 40; i++)
        Answer(RDR_TO_PC_DATABLOCK, 0x00, 0x00, chains[i % 3], {}, static_cast<uint8_t>(i));
    uint8_t reply[16];
    KYT_ULONG length = sizeof reply;
    const Bytes command = {0x00, 0xB0, 0x00, 0x00, 0x00};
    EXPECT_EQ(CCID_XfrBlock(device, command.data(), command.size(), reply, &length), EIO);

    auto frames = peer.HostFrames();
    ASSERT_EQ(frames.size(), 16u);
    EXPECT_EQ(Level(Bytes(frames[0].begin() + 1, frames[0].end())), CCID_LEVEL_BEGIN_AND_END);
    for (size_t i = 1; i < frames.size(); i++)
        EXPECT_EQ(Level(Bytes(frames[i].begin() + 1, frames[i].end())), CCID_LEVEL_NEXT_RESPONSE);
}

// Blocks with data are not empty continuations: the count starts again
// after each of them, so runs of fifteen empty blocks do not add up.
TEST_F(ScriptedCommandTest, ContinuationWithDataIsNotCounted)
{
    Bytes expected;
    int i = 0;
    for (; i < 48; i++) {
        Bytes data = (i % 16 == 15) ? Bytes{static_cast<uint8_t>(i)} : Bytes{};
        expected.insert(expected.end(), data.begin(), data.end());
        Answer(RDR_TO_PC_DATABLOCK, 0x00, 0x00, i == 0 ? CCID_CHAIN_BEGIN : CCID_CHAIN_CONTINUE, data,
               static_cast<uint8_t>(i));
    }
    Answer(RDR_TO_PC_DATABLOCK, 0x00, 0x00, CCID_CHAIN_END, {0x90, 0x00}, static_cast<uint8_t>(i));
    expected.insert(expected.end(), {0x90, 0x00});
    uint8_t reply[16];
    KYT_ULONG length = sizeof reply;
    const Bytes command = {0x00, 0xB0, 0x00, 0x00, 0x00};
    ASSERT_EQ(CCID_XfrBlock(device, command.data(), command.size(), reply, &length), 0);
    EXPECT_EQ(Bytes(reply, reply + length), expected);
}

// Capacities whose buffer sizes would wrap, and commands no message can
// carry, are refused before a sequence number is taken or a byte is sent.
TEST_F(ScriptedCommandTest, AbsurdSizesAreRefusedUpFront)
{
    uint8_t buffer[16] = {};
    const Bytes command = {0x00, 0xB0, 0x00, 0x00, 0x00};
    for (KYT_ULONG capacity : {kAllOnes, kAllOnes - 9, kAllOnes - 12}) {
        KYT_ULONG length = capacity;
        EXPECT_EQ(CCID_IccPowerOn(device, buffer, &length), ENOMEM);
        length = capacity;
        EXPECT_EQ(CCID_Escape(device, command.data(), command.size(), buffer, &length), ENOMEM);
        length = capacity;
        EXPECT_EQ(CCID_XfrBlock(device, command.data(), command.size(), buffer, &length), ENOMEM);
        EXPECT_EQ(length, capacity);
    }
    KYT_ULONG length = sizeof buffer;
    EXPECT_EQ(CCID_XfrBlock(device, command.data(), kAllOnes - 5, buffer, &length), E2BIG);
    if (sizeof(KYT_ULONG) > 4) {
        EXPECT_EQ(CCID_Escape(device, command.data(), static_cast<KYT_ULONG>(1ULL << 32), buffer, &length), E2BIG);
    }
    device->maxBlockSize = 0;
    EXPECT_EQ(CCID_XfrBlock(device, command.data(), command.size(), buffer, &length), EINVAL);

    EXPECT_EQ(device->sequenceNumber, 0);
    EXPECT_TRUE(peer.SettledHostFrames(device->comPort).empty());
}

} // namespace
