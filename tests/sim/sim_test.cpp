// The simulated reader, checked byte by byte over its pty by a host of plain
// termios (wire_host.h), so that the library's own tests can trust what it
// answers.  The kyt_sim program around it: sim_program_test.cpp.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "demo_card.h"
#include "sim_reader.h"
#include "wire.h"
#include "wire_host.h"

using kytsim::Bytes;
using namespace std::chrono_literals;

namespace {

const Bytes kAck = wire::Ack();
const Bytes kRefusedAck = wire::RefusedAck();
const Bytes kRepeatRequest = wire::RepeatRequest();
const Bytes &kFirmwareQuery = demo::kFirmwareQuery;

using wire::Command;

using wire::Host;

class SimTest : public ::testing::Test {
protected:
    void SetUp() override { StartWith(kytsim::Config()); }

    void StartWith(const kytsim::Config &config)
    {
        host_.reset();
        sim_ = std::make_unique<kytsim::SimReader>(config);
        std::string error;
        ASSERT_TRUE(sim_->Start(&error)) << error;
        host_ = std::make_unique<Host>(sim_->PortPath());
        ASSERT_TRUE(host_->ok());
    }

    // Waits until the reader has logged, from the host, exactly `bytes`;
    // bounded only so that a broken reader cannot hang the test.
    bool LoggedFromHost(const Bytes &bytes)
    {
        auto giveUp = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < giveUp) {
            for (const kytsim::LogEntry &entry : sim_->Log()) {
                if (entry.direction == kytsim::Direction::HostToReader && entry.bytes == bytes)
                    return true;
            }
            std::this_thread::sleep_for(1ms);
        }
        return false;
    }

    // bStatus and bError of a response message.
    static std::pair<int, int> StatusOf(const Bytes &response)
    {
        if (response.size() < 10)
            return {-1, -1};
        return {response[7], response[8]};
    }

    std::unique_ptr<kytsim::SimReader> sim_;
    std::unique_ptr<Host> host_;
};

// The APDUs a card handler saw; the handler runs on the reader's thread.
class ApduRecorder {
public:
    kytsim::ApduHandler Handler(Bytes answer)
    {
        return [this, answer](const Bytes &apdu) {
            std::lock_guard<std::mutex> guard(mutex_);
            last_ = apdu;
            return answer;
        };
    }
    Bytes Last()
    {
        std::lock_guard<std::mutex> guard(mutex_);
        return last_;
    }

private:
    std::mutex mutex_;
    Bytes last_;
};

kytsim::Card CardWith(kytsim::ApduHandler handler = nullptr)
{
    kytsim::Card card;
    card.atr = {0x3B, 0x80, 0x80, 0x31, 0xFE, 0x45, 0x8A};
    card.handler = std::move(handler);
    return card;
}

} // namespace

TEST_F(SimTest, FirmwareQueryIsAcknowledgedAndAnsweredExactly)
{
    const Bytes message = {0x6B, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0x00, 0x00, 0x18, 0x00};
    const Bytes frame = {0x02, 0x6B, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                         0x00, 0x00, 0xE0, 0x00, 0x00, 0x18, 0x00, 0x96, 0x03};
    ASSERT_EQ(wire::Frame(message), frame);
    host_->Write(frame);
    EXPECT_EQ(host_->Read(4), kAck);

    Bytes reply = kytsim::FirmwareReply(kytsim::Model::KYT7710P_V3);
    ASSERT_LE(reply.size(), 35u);
    ASSERT_GE(reply.size(), 16u);
    EXPECT_EQ(std::string(reply.begin() + 5, reply.begin() + 16), "KYT7710P_V3");
    // Slot 0 holds no card: processed, card status 2.
    Bytes expected = {0x83, static_cast<uint8_t>(reply.size()), 0, 0, 0, 0x00, 0x00, 0x02, 0x00, 0x00};
    expected.insert(expected.end(), reply.begin(), reply.end());
    EXPECT_EQ(host_->ReadFrame(), wire::Frame(expected));

    ASSERT_EQ(sim_->Commands().size(), 1u);
    EXPECT_EQ(sim_->Commands()[0], message);
}

TEST_F(SimTest, ResponsesEchoSlotAndSequence)
{
    for (uint8_t slot = 0; slot < 3; slot++) {
        uint8_t seq = static_cast<uint8_t>(0xF0 + slot);
        auto [ack, response] = host_->Exchange(Command(0x65, slot, seq));
        EXPECT_EQ(ack, kAck);
        ASSERT_EQ(response.size(), 10u);
        EXPECT_EQ(response[0], 0x81);
        EXPECT_EQ(response[5], slot);
        EXPECT_EQ(response[6], seq);
    }
}

TEST_F(SimTest, ModelsAnswerWithTheirOwnStrings)
{
    const struct {
        kytsim::Model model;
        const char *name;
        unsigned slots;
    } models[] = {{kytsim::Model::KYT7710P, "KYT7710P", 2},
                  {kytsim::Model::KYT7710P_V3, "KYT7710P_V3", 3},
                  {kytsim::Model::KYT4460P, "KYT4460P", 3}};
    for (const auto &m : models) {
        SCOPED_TRACE(m.name);
        EXPECT_EQ(kytsim::ModelSlots(m.model), m.slots);
        sim_->SetModel(m.model);
        auto [ack, response] = host_->Exchange(Command(0x6B, 0, 1, kFirmwareQuery));
        ASSERT_GT(response.size(), 15u + std::strlen(m.name));
        EXPECT_EQ(std::string(response.begin() + 15, response.begin() + 15 + std::strlen(m.name)), m.name);
        // A slot beyond the model's last is a bad slot.
        auto [ack2, beyond] = host_->Exchange(Command(0x65, static_cast<uint8_t>(m.slots), 2));
        EXPECT_EQ(StatusOf(beyond).first & 0xC0, 0x40);
        EXPECT_EQ(StatusOf(beyond).second, 0x05);
    }
    sim_->SetFirmwareReply({1, 2, 3});
    auto [ack, response] = host_->Exchange(Command(0x6B, 0, 3, kFirmwareQuery));
    EXPECT_EQ(Bytes(response.begin() + 10, response.end()), (Bytes{1, 2, 3}));
}

TEST_F(SimTest, RepeatRequestResendsTheLastResponseWithoutAcknowledge)
{
    sim_->InsertCard(0, CardWith());
    auto [ack, first] = host_->Exchange(Command(0x62, 0, 9));
    ASSERT_EQ(ack, kAck);
    host_->Write(kRepeatRequest);
    Bytes again = host_->ReadFrame();
    EXPECT_EQ(again, wire::Frame(first)); // the response frame only, no acknowledge before it
    EXPECT_EQ(sim_->RepeatRequests(), 1u);
    EXPECT_EQ(sim_->Commands().size(), 1u);
}

TEST_F(SimTest, DamagedFramesGetTheRefusingAcknowledge)
{
    Bytes good = wire::Frame(Command(0x65, 0, 1));
    Bytes badChecksum = good;
    badChecksum[good.size() - 2] ^= 0x01;
    Bytes badEnd = good;
    badEnd[good.size() - 1] = 0x04;
    for (const Bytes &frame : {badChecksum, badEnd}) {
        host_->Write(frame);
        EXPECT_EQ(host_->Read(4), kRefusedAck);
        EXPECT_TRUE(host_->Silence(200ms).empty());
    }
    EXPECT_TRUE(sim_->Commands().empty());
    EXPECT_EQ(host_->Exchange(Command(0x65, 0, 2)).first, kAck);
}

TEST_F(SimTest, NoiseAndHostileLengthsDoNotStopTheReader)
{
    // Noise, a start byte with a 4 GiB length, and a frame that never ends.
    const Bytes unfinished = {0x02, 0x6F, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00};
    host_->Write({0x55, 0xAA, 0x03, 0x00});
    host_->Write({0x02, 0x6F, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x11});
    host_->Write(unfinished);
    // The reader gives the unfinished frame up after a pause and logs it as
    // stray bytes; only then is the line clear for the next frame.
    ASSERT_TRUE(LoggedFromHost(unfinished));
    auto [ack, response] = host_->Exchange(Command(0x65, 0, 7));
    EXPECT_EQ(ack, kAck);
    ASSERT_EQ(response.size(), 10u);
    EXPECT_EQ(response[6], 7);
    bool strayLogged = false;
    for (const auto &entry : sim_->Log())
        strayLogged |= entry.direction == kytsim::Direction::HostToReader && entry.bytes[0] == 0x55;
    EXPECT_TRUE(strayLogged);
}

TEST_F(SimTest, BytesAtAnotherSpeedAreIgnored)
{
    host_->SetSpeed(19200);
    host_->Write(wire::Frame(Command(0x65, 0, 1)));
    EXPECT_TRUE(host_->Silence().empty());
    EXPECT_TRUE(sim_->Commands().empty());
    ASSERT_FALSE(sim_->Log().empty());

    sim_->SetSpeed(19200);
    EXPECT_EQ(host_->Exchange(Command(0x65, 0, 2)).first, kAck);
}

TEST_F(SimTest, SetSpeedConfirmsThenMovesTheReader)
{
    auto [ack, response] = host_->Exchange(Command(0x6B, 0, 4, {0x44, 0x04}));
    EXPECT_EQ(ack, kAck);
    EXPECT_EQ(Bytes(response.begin() + 10, response.end()), (Bytes{0x90, 0x04}));
    // The reader moves once its response is out, which may be a moment after
    // the host has read it (slow machines, emulators).
    auto movedBy = std::chrono::steady_clock::now() + 5s;
    while (sim_->Speed() != 115200u && std::chrono::steady_clock::now() < movedBy)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(sim_->Speed(), 115200u);
    // The old speed now reaches nothing; the new one does.
    host_->Write(wire::Frame(Command(0x65, 0, 5)));
    EXPECT_TRUE(host_->Silence().empty());
    host_->SetSpeed(115200);
    EXPECT_EQ(host_->Exchange(Command(0x65, 0, 6)).first, kAck);
}

TEST_F(SimTest, SetSpeedOverrides)
{
    sim_->SetSpeedChangeReply(Bytes{0x6A, 0x00});
    auto [ack, response] = host_->Exchange(Command(0x6B, 0, 1, {0x44, 0x03}));
    EXPECT_EQ(Bytes(response.begin() + 10, response.end()), (Bytes{0x6A, 0x00}));
    EXPECT_EQ(sim_->Speed(), 9600u);

    sim_->SetSpeedChangeReply(std::nullopt);
    sim_->SetIgnoreSpeedChange(true);
    host_->Write(wire::Frame(Command(0x6B, 0, 2, {0x44, 0x03})));
    EXPECT_TRUE(host_->Silence().empty());
    EXPECT_EQ(sim_->Speed(), 9600u);
    EXPECT_EQ(sim_->Commands().size(), 2u);
}

TEST_F(SimTest, OtherEscapesEchoOrGoToTheHandler)
{
    auto [ack, echoed] = host_->Exchange(Command(0x6B, 1, 1, {0x12, 0x34}));
    EXPECT_EQ(echoed[0], 0x83);
    EXPECT_EQ(Bytes(echoed.begin() + 10, echoed.end()), (Bytes{0x12, 0x34}));

    sim_->SetEscapeHandler([](uint8_t slot, const Bytes &command) -> std::optional<Bytes> {
        if (command[0] == 0xFF)
            return std::nullopt;
        return Bytes{slot, static_cast<uint8_t>(command.size())};
    });
    auto [ack2, handled] = host_->Exchange(Command(0x6B, 2, 2, {0x01, 0x02, 0x03}));
    EXPECT_EQ(Bytes(handled.begin() + 10, handled.end()), (Bytes{2, 3}));
    auto [ack3, refused] = host_->Exchange(Command(0x6B, 0, 3, {0xFF}));
    EXPECT_EQ(StatusOf(refused).first & 0xC0, 0x40);
}

TEST_F(SimTest, CardStatusesAcrossCommands)
{
    kytsim::Card mute = CardWith();
    mute.mute = true;
    sim_->InsertCard(1, mute);
    sim_->InsertCard(2, CardWith());
    const Bytes params = {0x13, 0x10, 0x00, 0x45, 0x00, 0xFE, 0x00};
    const struct {
        const char *what;
        Bytes command;
        uint8_t type, status, error;
    } cases[] = {
        {"power-on, no card", Command(0x62, 0, 1), 0x80, 0x42, 0xFE},
        {"transfer, no card", Command(0x6F, 0, 2, {0x00, 0xA4, 0x04, 0x00}), 0x80, 0x42, 0xFE},
        {"parameters, no card", Command(0x61, 0, 3, params, 1), 0x82, 0x42, 0xFE},
        {"status, no card", Command(0x65, 0, 4), 0x81, 0x02, 0x00},
        {"power-on, mute", Command(0x62, 1, 5), 0x80, 0x41, 0xFE},
        {"transfer, mute", Command(0x6F, 1, 6, {0x00, 0xA4}), 0x80, 0x41, 0xFE},
        {"status, mute", Command(0x65, 1, 7), 0x81, 0x01, 0x00},
        {"transfer, unpowered", Command(0x6F, 2, 8, {0x00, 0xA4}), 0x80, 0x41, 0xFE},
        {"power-on", Command(0x62, 2, 9), 0x80, 0x00, 0x00},
        {"status, powered", Command(0x65, 2, 10), 0x81, 0x00, 0x00},
        {"transfer, powered", Command(0x6F, 2, 11, {0x00, 0xA4}), 0x80, 0x00, 0x00},
        {"power-off", Command(0x63, 2, 12), 0x81, 0x01, 0x00},
        {"unknown message type", Command(0x50, 2, 13), 0x81, 0x41, 0x00},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        auto [ack, response] = host_->Exchange(c.command);
        EXPECT_EQ(ack, kAck);
        ASSERT_GE(response.size(), 10u);
        EXPECT_EQ(response[0], c.type);
        EXPECT_EQ(response[6], c.command[6]);
        EXPECT_EQ(StatusOf(response), (std::pair<int, int>(c.status, c.error)));
    }
    EXPECT_FALSE(sim_->CardPowered(2));
}

TEST_F(SimTest, PowerOnAnswersTheAtrAndTransferReachesTheCard)
{
    ApduRecorder card;
    sim_->InsertCard(0, CardWith(card.Handler({0xAB, 0x90, 0x00})));
    auto [ack, atr] = host_->Exchange(Command(0x62, 0, 1));
    EXPECT_EQ(Bytes(atr.begin() + 10, atr.end()), CardWith().atr);
    EXPECT_EQ(atr[1], CardWith().atr.size());
    EXPECT_TRUE(sim_->CardPowered(0));
    auto [ack2, response] = host_->Exchange(Command(0x6F, 0, 2, {0x00, 0xB0, 0x00, 0x00, 0x01}));
    EXPECT_EQ(card.Last(), (Bytes{0x00, 0xB0, 0x00, 0x00, 0x01}));
    EXPECT_EQ(Bytes(response.begin() + 10, response.end()), (Bytes{0xAB, 0x90, 0x00}));
    EXPECT_EQ(response[9], 0x00);
}

TEST_F(SimTest, CommandChainingJoinsTheBlocks)
{
    ApduRecorder card;
    sim_->InsertCard(1, CardWith(card.Handler({0x90, 0x00})));
    host_->Exchange(Command(0x62, 1, 0));
    const struct {
        Bytes block;
        uint16_t level;
        uint8_t chain;
    } blocks[] = {{{1, 2, 3}, 0x0001, 0x10}, {{4, 5}, 0x0003, 0x10}, {{6}, 0x0002, 0x00}};
    uint8_t seq = 1;
    for (const auto &b : blocks) {
        auto [ack, response] = host_->Exchange(Command(0x6F, 1, seq++, b.block, 0, b.level));
        ASSERT_EQ(response.size(), b.level == 0x0002 ? 12u : 10u);
        EXPECT_EQ(response[7], 0x00);
        EXPECT_EQ(response[9], b.chain);
    }
    EXPECT_EQ(card.Last(), (Bytes{1, 2, 3, 4, 5, 6}));
    // A continuation without a beginning is refused.
    auto [ack, stray] = host_->Exchange(Command(0x6F, 1, seq++, {7}, 0, 0x0002));
    EXPECT_EQ(StatusOf(stray).first & 0xC0, 0x40);
}

TEST_F(SimTest, LongResponsesComeInBlocksOnRequest)
{
    Bytes answer;
    for (int i = 0; i < 10; i++)
        answer.push_back(static_cast<uint8_t>(i));
    sim_->InsertCard(0, CardWith([answer](const Bytes &) { return answer; }));
    sim_->SetMaxResponseBlock(4);
    host_->Exchange(Command(0x62, 0, 0));

    auto [ack, first] = host_->Exchange(Command(0x6F, 0, 1, {0x00, 0xB0, 0x00, 0x00, 0x0A}));
    EXPECT_EQ(first[9], 0x01);
    Bytes joined(first.begin() + 10, first.end());
    EXPECT_EQ(joined.size(), 4u);
    const uint8_t expectedChain[] = {0x03, 0x02};
    for (uint8_t i = 0; i < 2; i++) {
        auto [ack2, next] = host_->Exchange(Command(0x6F, 0, static_cast<uint8_t>(2 + i), {}, 0, 0x0010));
        EXPECT_EQ(next[6], 2 + i);
        EXPECT_EQ(next[9], expectedChain[i]);
        joined.insert(joined.end(), next.begin() + 10, next.end());
    }
    EXPECT_EQ(joined, answer);

    // A response that fits one block is not chained.
    sim_->SetMaxResponseBlock(10);
    auto [ack3, whole] = host_->Exchange(Command(0x6F, 0, 4, {0x00}));
    EXPECT_EQ(whole[9], 0x00);
    EXPECT_EQ(whole.size(), 20u);
}

TEST_F(SimTest, SetParametersRefusalsAndRecordedParameters)
{
    sim_->InsertCard(0, CardWith());
    sim_->RefuseSetParameters(0, 1);
    const Bytes params = {0x13, 0x10, 0x00, 0x45, 0x00, 0xFE, 0x00};
    Bytes command = Command(0x61, 0, 5, params, 0x01);
    auto [ack, refused] = host_->Exchange(command);
    EXPECT_EQ(refused[0], 0x82);
    EXPECT_EQ(refused[7] & 0xC0, 0x40);
    EXPECT_EQ(refused[8], 0x0A);
    auto [ack2, accepted] = host_->Exchange(command);
    EXPECT_EQ(accepted[7] & 0xC0, 0x00);
    EXPECT_EQ(accepted[9], 0x01);
    EXPECT_EQ(Bytes(accepted.begin() + 10, accepted.end()), params);
    EXPECT_EQ(sim_->LastParameters(0), Bytes(command.begin() + 7, command.end()));
}

TEST_F(SimTest, AcknowledgeFaults)
{
    kytsim::Faults faults;
    faults.dropAcks = 1;
    faults.refuseAcks = 1;
    faults.damageAckChecksum = 1;
    sim_->InjectFaults(faults);
    const Bytes frame = wire::Frame(Command(0x65, 0, 1));
    host_->Write(frame);
    EXPECT_TRUE(host_->Silence().empty());
    host_->Write(frame);
    EXPECT_EQ(host_->Read(4), kRefusedAck);
    host_->Write(frame);
    EXPECT_EQ(host_->Read(4), (Bytes{0x02, 0x00, 0x01, 0x03}));
    EXPECT_TRUE(host_->Silence(200ms).empty()); // not processed
    EXPECT_EQ(host_->Exchange(Command(0x65, 0, 1)).first, kAck);
    EXPECT_EQ(sim_->Commands().size(), 4u);
}

TEST_F(SimTest, ResponseFaultsAreRepairedByRepeatRequests)
{
    kytsim::Faults faults;
    faults.damageResponses = 1;
    faults.silentAfterAck = 1;
    sim_->InjectFaults(faults);
    host_->Write(wire::Frame(Command(0x65, 0, 1)));
    EXPECT_EQ(host_->Read(4), kAck);
    EXPECT_TRUE(host_->Silence().empty()); // withheld
    host_->Write(kRepeatRequest);
    Bytes damaged = host_->ReadFrame();
    ASSERT_EQ(damaged.size(), 13u);
    host_->Write(kRepeatRequest);
    Bytes good = host_->ReadFrame();
    // The damaged copy fails its checksum; the repeat carries the same message intact.
    EXPECT_NE(wire::Frame(Bytes(damaged.begin() + 1, damaged.end() - 2)), damaged);
    ASSERT_EQ(good.size(), 13u);
    EXPECT_EQ(wire::Frame(Bytes(good.begin() + 1, good.end() - 2)), good);
    EXPECT_EQ(Bytes(good.begin(), good.end() - 2), Bytes(damaged.begin(), damaged.end() - 2));
    EXPECT_EQ(good[1], 0x81);
    EXPECT_EQ(good[7], 0x01);
    EXPECT_EQ(sim_->RepeatRequests(), 2u);

    faults = kytsim::Faults();
    faults.trailingBytes = 1;
    faults.splitResponses = 1;
    faults.splitDelay = 20ms;
    sim_->InjectFaults(faults);
    auto [ack, response] = host_->Exchange(Command(0x65, 0, 2));
    EXPECT_EQ(response.size(), 10u);
    EXPECT_EQ(host_->Read(1, 500ms), (Bytes{0x00})); // the stray byte after the frame
}

TEST_F(SimTest, SurvivesRandomBytesAndLargeFrames)
{
    sim_->InsertCard(0, CardWith([](const Bytes &apdu) {
                         Bytes answer(apdu.rbegin(), apdu.rend());
                         answer.push_back(0x90);
                         answer.push_back(0x00);
                         return answer;
                     }));
    host_->Exchange(Command(0x62, 0, 0));

    // Noise laced with start bytes, pieces of real frames and wild lengths.
    std::mt19937 random(20261208);
    const Bytes pieces[] = {wire::Frame(Command(0x6F, 0, 1, {1, 2, 3})),
                            kRepeatRequest,
                            {0x02, 0x6F, 0x00, 0x00, 0x01, 0x00},
                            {0x02, 0x00, 0x00, 0x03}};
    for (int round = 0; round < 200; round++) {
        Bytes noise;
        for (auto i = random() % 40; i > 0; i--)
            noise.push_back(static_cast<uint8_t>(random() % 3 == 0 ? 0x02 : random()));
        const Bytes &piece = pieces[random() % std::size(pieces)];
        noise.insert(noise.end(), piece.begin(), piece.begin() + random() % (piece.size() + 1));
        host_->Write(noise);
        host_->Read(4096, 1ms); // keep the reader's answers from piling up
    }
    // Whatever the noise left half-read in the reader is given up after a
    // pause, and a command that lands in it is lost with it: ask until a
    // status query is answered, which leaves the line clear.  An answer
    // slower than the wait below is taken for stale and asked for again.
    bool answered = false;
    for (uint8_t seq = 100; seq < 160 && !answered; seq++) {
        host_->Read(1 << 20, 0ms); // stale answers to the noise
        host_->Write(wire::Frame(Command(0x65, 0, seq)));
        if (host_->Read(4, 500ms) != kAck)
            continue;
        Bytes status = host_->ReadFrame();
        answered = status.size() == 13 && status[7] == seq;
    }
    ASSERT_TRUE(answered) << "the reader did not recover from the noise";

    Bytes apdu(3000);
    for (size_t i = 0; i < apdu.size(); i++)
        apdu[i] = static_cast<uint8_t>(i * 7);
    auto [ack, response] = host_->Exchange(Command(0x6F, 0, 9, apdu));
    EXPECT_EQ(ack, kAck);
    ASSERT_EQ(response.size(), 10u + apdu.size() + 2);
    EXPECT_EQ(response[6], 9);
    EXPECT_TRUE(std::equal(apdu.rbegin(), apdu.rend(), response.begin() + 10));
}

TEST_F(SimTest, ResponseDelaySeparatesAcknowledgeAndResponse)
{
    sim_->SetResponseDelay(200ms);
    auto [ack, response] = host_->Exchange(Command(0x65, 0, 3));
    EXPECT_EQ(ack, kAck);
    ASSERT_EQ(response.size(), 10u);
    std::vector<kytsim::LogEntry> log = sim_->Log();
    ASSERT_EQ(log.size(), 3u); // command, acknowledge, response
    EXPECT_EQ(log[1].bytes, kAck);
    EXPECT_EQ(log[2].bytes, wire::Frame(response));
    EXPECT_GE(log[2].time - log[1].time, 200ms);
}
