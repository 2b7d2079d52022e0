// The simulated reader's hazards, in process: the frame log's ring, a
// command run again or replayed after its acknowledge was lost, and
// SetParameters refused by a card that cannot go as fast as asked.
#include <atomic>
#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ccid.h"
#include "factors.h"
#include "frame_log.h"
#include "iso_card.h"
#include "reader_rig.h"

namespace {

using kytsim::Bytes;

// Entry i of a case is i + 1 bytes of value i, so that what is kept tells
// which entries they were.
TEST(FrameLogRing, KeepsExactlyTheLastEntriesWithinItsBounds)
{
    struct Case {
        const char *name;
        size_t maxEntries, maxBytes;
        std::vector<size_t> sizes;
        std::vector<uint8_t> kept; // which entries stay, oldest first
    };
    const Case cases[] = {
        {"under both bounds", 4, 100, {1, 2, 3}, {0, 1, 2}},
        {"entry bound", 3, 100, {1, 1, 1, 1, 1, 1, 1}, {4, 5, 6}},
        {"byte bound", 100, 10, {4, 4, 4, 4}, {2, 3}},
        {"byte bound met exactly", 100, 8, {4, 4, 4}, {1, 2}},
        {"an entry larger than the byte bound", 100, 10, {4, 11, 2}, {2}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        kytsim::FrameLog log(c.maxEntries, c.maxBytes);
        size_t sunk = 0;
        log.SetSink([&](const kytsim::LogEntry &) { sunk++; });
        for (size_t i = 0; i < c.sizes.size(); i++) {
            Bytes bytes(c.sizes[i], static_cast<uint8_t>(i));
            log.Add(kytsim::Direction::HostToReader, bytes, kytsim::Clock::now());
            log.AddCommand(bytes);
        }
        std::vector<uint8_t> entries, commands;
        for (const kytsim::LogEntry &entry : log.Entries())
            entries.push_back(entry.bytes.at(0));
        for (const Bytes &command : log.Commands())
            commands.push_back(command.at(0));
        EXPECT_EQ(entries, c.kept);
        EXPECT_EQ(commands, c.kept);
        EXPECT_EQ(sunk, c.sizes.size()) << "the sink sees every frame";
        log.Clear();
        EXPECT_TRUE(log.Entries().empty());
    }
}

TEST(CardFactors, ElementaryTimeUnitsCompared)
{
    struct Case {
        uint8_t asked, fastest;
        bool within;
    };
    const Case cases[] = {
        {0x11, 0x11, true},  {0x11, 0x96, true},  {0x96, 0x11, false}, {0x96, 0x96, true},
        {0x13, 0x12, false}, {0x12, 0x13, true},  {0x01, 0x11, true},  // Fi index 0 is 372 as well
        {0x94, 0x13, false},                                           // 512/8 = 64 clocks against 372/4 = 93
        {0x95, 0x18, true},                                            // 512/16 = 32 against 372/12 = 31
        {0x71, 0x96, false}, {0x10, 0x96, false}, {0x11, 0x1A, false}, // reserved indices
    };
    for (const Case &c : cases)
        EXPECT_EQ(kytsim::FactorsWithin(c.asked, c.fastest), c.within)
            << std::hex << int(c.asked) << " within " << int(c.fastest);
}

// The reader's answers to SetParameters: bStatus and bError of each.
std::vector<std::pair<uint8_t, uint8_t>> ParameterAnswers(const kytsim::SimReader &sim)
{
    std::vector<std::pair<uint8_t, uint8_t>> answers;
    for (const kytsim::LogEntry &entry : sim.Log()) {
        const Bytes &frame = entry.bytes;
        if (entry.direction == kytsim::Direction::ReaderToHost && frame.size() > 10 && frame[1] == RDR_TO_PC_PARAMETERS)
            answers.emplace_back(frame[1 + CCID_OFFSET_STATUS], frame[1 + CCID_OFFSET_ERROR]);
    }
    return answers;
}

// The demo T=1 card asks in TA1 (96) for Fi 512 and Di 32.  Said to manage
// no more than the default factors, it makes the reader refuse the
// negotiated ones, pointing at bmFindexDindex; the library resets the card,
// tries once more and gives up.  The default factors go through.
TEST(CardFactors, SetParametersRefusedForFasterFactors)
{
    auto sim = rig::StartSim();
    ASSERT_TRUE(sim);
    sim->InsertCard(0, kytsim::DemoT1Card());
    sim->SetCardFactors(0, 0x11);
    ReaderHandle handle = rig::Open(*sim);
    ASSERT_NE(handle, nullptr);
    unsigned char atr[33];
    KYT_ULONG atrLength = sizeof atr;
    ASSERT_EQ(KYT_PowerOnIcc(handle, 0, atr, &atrLength), 0UL);
    sim->ClearLog();

    KYT_ULONG active = 99;
    EXPECT_EQ(KYT_SetProtocol(handle, 0, KYT_PROTOCOL_T1, &active), static_cast<KYT_ULONG>(EIO));
    EXPECT_EQ(active, 0UL);
    std::vector<Bytes> asked = rig::CommandsOfType(*sim, PC_TO_RDR_SETPARAMETERS);
    ASSERT_EQ(asked.size(), 2u) << "a first attempt, and one after a power cycle";
    uint8_t negotiated = asked[0][10];
    EXPECT_EQ(negotiated, 0x96) << "the pair of TA1, within the slot's fastest data rate";
    EXPECT_EQ(asked[1][10], negotiated);
    const std::pair<uint8_t, uint8_t> refused = {0x40, 0x0A}; // failed, card active; bmFindexDindex
    EXPECT_EQ(ParameterAnswers(*sim), (std::vector<std::pair<uint8_t, uint8_t>>{refused, refused}));

    sim->ClearLog();
    EXPECT_EQ(KYT_SetProtocol(handle, 0, KYT_PROTOCOL_T1 | KYT_PROTOCOL_DEFAULT_SPEED, &active), 0UL);
    EXPECT_EQ(active, KYT_PROTOCOL_T1);
    ASSERT_EQ(rig::CommandsOfType(*sim, PC_TO_RDR_SETPARAMETERS).size(), 1u);
    EXPECT_EQ(rig::CommandsOfType(*sim, PC_TO_RDR_SETPARAMETERS)[0][10], 0x11);

    // A card that manages the negotiated factors takes them at once.
    sim->SetCardFactors(0, negotiated);
    sim->ClearLog();
    EXPECT_EQ(KYT_SetProtocol(handle, 0, KYT_PROTOCOL_T1, &active), 0UL);
    EXPECT_EQ(rig::CommandsOfType(*sim, PC_TO_RDR_SETPARAMETERS).size(), 1u);
    EXPECT_EQ(ParameterAnswers(*sim), (std::vector<std::pair<uint8_t, uint8_t>>{{0x00, 0x00}}));
    EXPECT_EQ(KYT_Close(handle), 0UL);
}

// A card that numbers the APDUs it runs, so that the host can tell from the
// answer how often its command reached the card.
kytsim::Card CountingCard(std::atomic<int> &runs)
{
    kytsim::Card card = rig::PlainCard();
    card.handler = [&runs](const Bytes &) { return Bytes{static_cast<uint8_t>(++runs), 0x90, 0x00}; };
    return card;
}

class LostAfterRun : public ::testing::TestWithParam<kytsim::Resend> {};

// The reader runs the APDU, its acknowledge and response are lost, and the
// library sends the same frame again: run hands the APDU to the card a
// second time (the host sees the second run's answer), replay answers with
// the first run's response.  The next APDU is a new command under both.
TEST_P(LostAfterRun, ResentCommandRunsAgainOrIsReplayed)
{
    const bool replay = GetParam() == kytsim::Resend::Replay;
    kytsim::Config config;
    config.resend = GetParam();
    auto sim = rig::StartSim(config);
    ASSERT_TRUE(sim);
    std::atomic<int> runs{0};
    sim->InsertCard(0, CountingCard(runs));
    ReaderHandle handle = rig::Open(*sim);
    ASSERT_NE(handle, nullptr);
    rig::ShortenTimeouts(handle, 300, 2000);
    KYT_ULONG atrLength = 64;
    ASSERT_EQ(KYT_PowerOnIcc(handle, 0, nullptr, &atrLength), 0UL);

    sim->InjectFault(kytsim::FaultKind::AckLostAfterRun);
    const unsigned char apdu[] = {0x80, 0x20, 0x00, 0x00};
    unsigned char response[16];
    KYT_ULONG length = sizeof response;
    ASSERT_EQ(KYT_ExchangeApdu(handle, 0, apdu, sizeof apdu, response, &length), 0UL);
    EXPECT_EQ(runs.load(), replay ? 1 : 2);
    EXPECT_EQ(Bytes(response, response + length), (Bytes{static_cast<uint8_t>(replay ? 1 : 2), 0x90, 0x00}));
    EXPECT_EQ(sim->Resends(), 1u);
    EXPECT_EQ(sim->Tally(kytsim::FaultKind::AckLostAfterRun).injected, 1u);
    std::vector<Bytes> sent = rig::CommandsOfType(*sim, PC_TO_RDR_XFRBLOCK);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], sent[1]) << "the library sends the very same command again";

    length = sizeof response;
    ASSERT_EQ(KYT_ExchangeApdu(handle, 0, apdu, sizeof apdu, response, &length), 0UL);
    EXPECT_EQ(runs.load(), replay ? 2 : 3);
    EXPECT_EQ(sim->Resends(), 1u);
    EXPECT_EQ(KYT_Close(handle), 0UL);
}

INSTANTIATE_TEST_SUITE_P(Resend, LostAfterRun, ::testing::Values(kytsim::Resend::Run, kytsim::Resend::Replay),
                         [](const ::testing::TestParamInfo<kytsim::Resend> &param) {
                             return param.param == kytsim::Resend::Run ? "Run" : "Replay";
                         });

} // namespace
