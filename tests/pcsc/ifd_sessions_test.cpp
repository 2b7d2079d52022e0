// What services that run for months need of the handler: pcscd's event
// threads that wait in it and stop at once, polls that never wait behind a
// long APDU, slow cards, a port that appears after pcscd started, odd
// replies, and the log topics.
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ifd_kyt.h"
#include "ifd_rig.h"
#include "iso_card.h"

namespace {

using namespace ifdtest;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Long enough for anything the handler does, even under an emulator; only
// a hang runs into it.
constexpr auto kPatience = 60s;

bool PollUntil(ReaderRig &rig, DWORD slot, RESPONSECODE wanted)
{
    for (auto start = Clock::now(); Clock::now() - start < kPatience; std::this_thread::sleep_for(50ms)) {
        if (Ifd().presence(rig.Lun(slot)) == wanted)
            return true;
    }
    return false;
}

Clock::duration TimeOf(const std::function<void()> &call)
{
    auto start = Clock::now();
    call();
    return Clock::now() - start;
}

TEST(IfdEventThread, AStopEndsTheWaitBeforeThePollPeriodWould)
{
    ReaderRig rig(30);
    ASSERT_TRUE(rig.Plug());
    ASSERT_EQ(rig.OpenChannels(), IFD_SUCCESS);
    // pcscd's timeout (10 minutes while no card is powered) is an upper
    // bound: the handler's wait ends after a poll period at the most.
    auto ordinary = TimeOf([&] { EXPECT_EQ(rig.WaitForEvent(1, 600000), IFD_SUCCESS); });
    EXPECT_LT(ordinary, kPatience);
    // A stop asked while the thread polls ends its next wait at once.
    EXPECT_EQ(rig.StopWait(1), IFD_SUCCESS);
    auto stopped = TimeOf([&] { EXPECT_EQ(rig.WaitForEvent(1, 600000), IFD_SUCCESS); });
    EXPECT_LT(stopped, ordinary);
    // And one asked from another thread during the wait ends it.
    std::thread stopper([&] {
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(rig.StopWait(2), IFD_SUCCESS);
    });
    EXPECT_EQ(rig.WaitForEvent(2, 600000), IFD_SUCCESS);
    stopper.join();
    // Slots pcscd has no channel on have no event thread.
    EXPECT_EQ(rig.StopWait(3), IFD_COMMUNICATION_ERROR);
}

// The whole reader silent for a while (switched off, a cable that moves):
// pcscd's polls go on, the slots answer what they had, and the session
// carries its next APDU.  A card the reader reports unpowered afterwards
// was power-cycled: it is reported removed, once.
TEST(IfdSilence, TheSessionLivesThroughIt)
{
    struct Case {
        const char *what;
        bool powerCycled;
        std::vector<RESPONSECODE> slot0;
    };
    const Case cases[] = {
        {"untouched", false, {IFD_SUCCESS}},
        {"power-cycled", true, {IFD_SUCCESS, IFD_ICC_NOT_PRESENT, IFD_SUCCESS}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ReaderRig rig(38);
        ASSERT_TRUE(rig.Plug());
        ASSERT_EQ(rig.OpenChannels(), IFD_SUCCESS);
        rig.BecomeEventThread();
        EXPECT_EQ(rig.PowerUp(0), kytsim::DemoT1Card().atr);
        ASSERT_EQ(Ifd().presence(rig.Lun(0)), IFD_SUCCESS);
        ASSERT_EQ(Ifd().presence(rig.Lun(2)), IFD_ICC_NOT_PRESENT);
        ClearLog();
        rig.Sim().Silence(3s);
        if (c.powerCycled) {
            rig.Sim().RemoveCard(0);
            rig.Sim().InsertCard(0, kytsim::DemoT1Card());
        }
        // Polls as pcscd's event threads make them, until the reader has
        // answered again and slot 0 has settled.
        std::vector<RESPONSECODE> slot0;
        auto start = Clock::now();
        while (Clock::now() - start < kPatience) {
            RESPONSECODE rv = Ifd().presence(rig.Lun(0));
            EXPECT_EQ(Ifd().presence(rig.Lun(2)), IFD_ICC_NOT_PRESENT);
            if (slot0.empty() || slot0.back() != rv)
                slot0.push_back(rv);
            if (!rig.Sim().SilentUntil() && LogLinesContaining("answers again after") == 1 &&
                slot0.back() == IFD_SUCCESS && slot0.size() >= c.slot0.size())
                break;
            EXPECT_EQ(rig.WaitForEvent(0, 600000), IFD_SUCCESS);
        }
        EXPECT_EQ(slot0, c.slot0);
        EXPECT_EQ(LogLinesContaining("no answer from the reader"), 1u);
        EXPECT_EQ(LogLinesContaining("has not answered for"), 0u);
        Bytes response;
        if (c.powerCycled) {
            rig.PowerUp(0);
        }
        EXPECT_EQ(rig.Transmit(0, kSelectMf, &response), IFD_SUCCESS);
        EXPECT_EQ(response, (Bytes{0x90, 0x00}));
    }
}

// An APDU keeps the reader's line for as long as the card takes; a poll of
// another slot meanwhile answers from what is known rather than wait.
TEST(IfdPolls, APollDoesNotWaitForALongApduOnAnotherSlot)
{
    kytsim::Config config;
    config.cardDelay = 5s;
    ReaderRig rig(31, config);
    ASSERT_TRUE(rig.Plug());
    ASSERT_EQ(rig.OpenChannels(), IFD_SUCCESS);
    rig.PowerUp(0);
    ASSERT_EQ(Ifd().presence(rig.Lun(1)), IFD_SUCCESS);
    std::atomic<bool> answered{false};
    RESPONSECODE transmitted = IFD_COMMUNICATION_ERROR;
    std::thread client([&] {
        Bytes response;
        transmitted = rig.Transmit(0, kSelectMf, &response);
        answered = true;
    });
    std::this_thread::sleep_for(500ms); // the APDU is with the card by now
    EXPECT_EQ(Ifd().presence(rig.Lun(1)), IFD_SUCCESS);
    EXPECT_EQ(Ifd().presence(rig.Lun(2)), IFD_ICC_NOT_PRESENT);
    EXPECT_FALSE(answered) << "the polls waited for the APDU";
    client.join();
    EXPECT_EQ(transmitted, IFD_SUCCESS);
}

// libkyt's own response timeout is 10 s; the handler gives a card a
// minute, or what the reader's timeout= option says.  When it runs out,
// libkyt asks the reader once more and waits as long again, so a card
// slower than the timeout may still get through; one slower than twice the
// timeout never does.
TEST(IfdSlowCards, TheTimeoutOptionBothWays)
{
    struct Case {
        const char *options;
        RESPONSECODE expected;
    };
    for (Case c : {Case{":timeout=1", IFD_COMMUNICATION_ERROR}, Case{":timeout=4", IFD_SUCCESS}}) {
        SCOPED_TRACE(c.options);
        kytsim::Config config;
        config.cardDelay = 3s;
        ReaderRig rig(32, config);
        ASSERT_TRUE(rig.Plug());
        ASSERT_EQ(rig.OpenChannels(c.options), IFD_SUCCESS);
        rig.PowerUp(0);
        Bytes response;
        auto start = Clock::now();
        EXPECT_EQ(rig.Transmit(0, kSelectMf, &response), c.expected);
        // Once the card is done (and the reader has answered what was
        // asked of it meanwhile, late), the session goes on.
        rig.Sim().SetCardDelay(0ms);
        std::this_thread::sleep_until(start + config.cardDelay);
        bool works = false;
        for (auto since = Clock::now(); !works && Clock::now() - since < kPatience; std::this_thread::sleep_for(100ms))
            works = rig.Transmit(0, kSelectMf, &response) == IFD_SUCCESS;
        EXPECT_TRUE(works);
        EXPECT_EQ(response, (Bytes{0x90, 0x00}));
    }
}

// A reader that acknowledges an APDU and then falls silent: the APDU ends
// with an error after twice the timeout at the most, and the slots answer
// from what was known meanwhile.
TEST(IfdSlowCards, AReaderSilentInTheMiddleOfAResponse)
{
    ReaderRig rig(37);
    ASSERT_TRUE(rig.Plug());
    ASSERT_EQ(rig.OpenChannels(":timeout=1"), IFD_SUCCESS);
    rig.PowerUp(0);
    kytsim::Faults faults;
    faults.silentAfterAck = 1;
    faults.ignoreRepeats = 2;
    rig.Sim().InjectFaults(faults);
    Bytes response;
    auto took = TimeOf([&] { EXPECT_EQ(rig.Transmit(0, kSelectMf, &response), IFD_COMMUNICATION_ERROR); });
    EXPECT_GE(took, 2s); // both response waits ran out
    EXPECT_EQ(Ifd().presence(rig.Lun(0)), IFD_SUCCESS);
    EXPECT_TRUE(PollUntil(rig, 0, IFD_SUCCESS));
    EXPECT_EQ(rig.Transmit(0, kSelectMf, &response), IFD_SUCCESS);
}

// pcscd reads reader.conf once; a USB adapter that enumerates after it
// must still get its reader.
TEST(IfdLatePort, AChannelOpensBeforeItsPortExists)
{
    struct Case {
        const char *options;
        kytsim::Model model;
        unsigned declared;
    };
    const Case cases[] = {
        {"", kytsim::Model::KYT7710P_V3, 3},
        {":slots=2", kytsim::Model::KYT7710P_V3, 2}, // the third slot stays unknown to pcscd
        {"", kytsim::Model::KYT7710P, 3},            // the third slot stays empty
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.options) + " " + kytsim::ModelString(c.model));
        kytsim::Config config;
        config.model = c.model;
        ReaderRig rig(33, config);
        ClearLog();
        ASSERT_EQ(rig.OpenChannels(c.options, c.declared), IFD_SUCCESS);
        Bytes slots;
        ASSERT_EQ(rig.Capability(0, TAG_IFD_SLOTS_NUMBER, &slots), IFD_SUCCESS);
        EXPECT_EQ(slots, Bytes{static_cast<unsigned char>(c.declared)});
        EXPECT_EQ(LogLinesContaining("the port does not exist (yet)"), 1u);
        for (DWORD slot = 0; slot < c.declared; slot++)
            EXPECT_EQ(Ifd().presence(rig.Lun(slot)), IFD_ICC_NOT_PRESENT);

        ASSERT_TRUE(rig.Plug());
        ASSERT_TRUE(PollUntil(rig, 0, IFD_SUCCESS));
        EXPECT_EQ(Ifd().presence(rig.Lun(1)), IFD_SUCCESS);
        if (c.declared == 3) {
            EXPECT_EQ(Ifd().presence(rig.Lun(2)), IFD_ICC_NOT_PRESENT);
        }
        EXPECT_EQ(rig.Sim().Speed(), 115200u);
        EXPECT_EQ(rig.PowerUp(0), kytsim::DemoT1Card().atr);
        EXPECT_EQ(LogLinesContaining("slots, not"), kytsim::ModelSlots(c.model) == c.declared ? 0u : 1u);
    }
}

// pcscd keeps 33 bytes of an ATR, the longest ISO 7816-3 allows.
TEST(IfdOddReplies, AnAtrLongerThan33BytesIsCut)
{
    ReaderRig rig(34);
    ASSERT_TRUE(rig.Plug());
    ASSERT_EQ(rig.OpenChannels(), IFD_SUCCESS);
    kytsim::Card card = kytsim::DemoT1Card();
    card.atr = {0x3B, 0xFF};
    while (card.atr.size() < 40)
        card.atr.push_back(static_cast<uint8_t>(card.atr.size()));
    rig.Sim().InsertCard(2, card);
    ClearLog();
    Bytes atr = rig.PowerUp(2);
    EXPECT_EQ(atr, Bytes(card.atr.begin(), card.atr.begin() + MAX_ATR_SIZE));
    EXPECT_EQ(LogLinesContaining("the card's ATR has 40 bytes; the first 33 are kept"), 1u);
    Bytes value;
    ASSERT_EQ(rig.Capability(2, SCARD_ATTR_ATR_STRING, &value), IFD_SUCCESS);
    EXPECT_EQ(value, atr);
    EXPECT_TRUE(rig.Sim().CardPowered(2));
}

// libkyt takes a firmware version reply of at most 35 bytes when it looks
// for the reader, as every reader of the family sends: a longer one is no
// KYT reader.  Found at a speed that detection tries last, the reply's
// length is what its last attempt met, and the log says so.
TEST(IfdOddReplies, AFirmwareTextTooLongForDetectionIsExplained)
{
    struct Case {
        size_t textLength;
        uint32_t speed;
        RESPONSECODE expected;
        const char *logged;
    };
    const Case cases[] = {
        {30, 9600, IFD_SUCCESS, nullptr},
        {100, 9600, IFD_COMMUNICATION_ERROR, "no KYT reader answers on the port"},
        {100, 115200, IFD_COMMUNICATION_ERROR, "longer than a KYT reader's (35 bytes)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.textLength) + " at " + std::to_string(c.speed));
        std::string text = "KYT7710P_V3 1.0.1 ";
        while (text.size() < c.textLength)
            text.push_back(static_cast<char>('a' + text.size() % 26));
        Bytes reply = {0xE1, 0x00, 0x00, 0x18, 0x00};
        reply.insert(reply.end(), text.begin(), text.end());
        kytsim::Config config;
        config.firmwareReply = reply;
        config.speed = c.speed;
        ReaderRig rig(35, config);
        ASSERT_TRUE(rig.Plug());
        ClearLog();
        EXPECT_EQ(rig.OpenChannels(), c.expected);
        if (c.logged) {
            EXPECT_EQ(LogLinesContaining(c.logged), 1u);
            continue;
        }
        Bytes value;
        ASSERT_EQ(rig.Capability(0, SCARD_ATTR_VENDOR_IFD_TYPE, &value), IFD_SUCCESS);
        EXPECT_EQ(value, (Bytes{'K', 'Y', 'T', '7', '7', '1', '0', 'P', '_', 'V', '3', 0}));
    }
}

TEST(IfdLog, EachTopicAddsItsLines)
{
    struct Case {
        const char *options;
        size_t calls, polls, escapes;
    };
    const Case cases[] = {
        {"", 0, 0, 0},           {":log=errors", 0, 0, 0},      {":log=calls", 2, 0, 0}, {":log=escapes", 0, 0, 2},
        {":log=polls", 0, 1, 0}, {":log=calls+polls", 2, 1, 0}, {":log=all", 2, 1, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.options);
        ReaderRig rig(36);
        ASSERT_TRUE(rig.Plug());
        ASSERT_EQ(rig.OpenChannels(c.options), IFD_SUCCESS);
        ClearLog();
        rig.PowerUp(0);
        Bytes response;
        ASSERT_EQ(rig.Transmit(0, kSelectMf, &response), IFD_SUCCESS);
        ASSERT_EQ(Ifd().presence(rig.Lun(0)), IFD_SUCCESS);
        ASSERT_EQ(rig.Control(KYT_IFD_IOCTL_ESCAPE, kFirmwareQuery, &response), IFD_SUCCESS);
        EXPECT_EQ(rig.Control(KYT_IFD_IOCTL_ESCAPE, {0x01, 0x02}, &response), IFD_NOT_SUPPORTED);
        EXPECT_EQ(LogLinesContaining(": IFDHPowerICC(up) -> ATR of 19 bytes: IFD_SUCCESS") +
                      LogLinesContaining(": IFDHTransmitToICC(7 bytes) -> 2 bytes: IFD_SUCCESS"),
                  c.calls);
        EXPECT_EQ(LogLinesContaining(": IFDHICCPresence: IFD_SUCCESS"), c.polls);
        EXPECT_EQ(LogLinesContaining("escape command E0 00 00 18 00 (5 bytes) passed, reply of") +
                      LogLinesContaining("escape command 01 02 (2 bytes) refused"),
                  c.escapes);
        // Each line names the reader's port and the Lun.
        for (const std::string &line : LogLines()) {
            if (line.find("IFDH") != std::string::npos) {
                EXPECT_NE(line.find(rig.Link() + ": Lun 0x240000: "), std::string::npos) << line;
            }
        }
    }
}

} // namespace
