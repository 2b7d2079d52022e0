// kyt_sim's controls for a host's long-haul tests, against the real program
// through the library: a card held over one APDU (delay), the whole reader
// silent for a while (silence), a firmware text of the test's choice and
// answers-to-reset longer than ISO 7816-3 allows.
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "demo_card.h"
#include "kyt.h"
#include "sim_program.h"
#include "sim_rig.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

// The count before `what` in a status line ("ok: 9600 bit/s, 120 bytes from
// the host, 96 bytes to it; ...").
uint64_t CountBefore(const std::string &status, const std::string &what)
{
    size_t end = status.find(what);
    size_t begin = status.rfind(' ', end - 1);
    return end == std::string::npos || begin == std::string::npos ? ~0ULL : std::stoull(status.substr(begin + 1));
}

std::string HexText(const Bytes &bytes)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 0x0F];
    }
    return text;
}

// An ATR of `size` bytes: TS, a T0 announcing 15 historical bytes, and a
// running count after them.
Bytes LongAtr(size_t size)
{
    Bytes atr = {0x3B, 0x0F};
    while (atr.size() < size)
        atr.push_back(static_cast<unsigned char>(atr.size()));
    return atr;
}

using SimControls = rig::SimProgramSession;

struct DelayCase {
    const char *name;
    unsigned delayMs;
    KYT_ULONG responseTimeoutMs; // the library's, with one retry
    bool answered;               // within the library's wait
};

class HeldApdu : public SimControls, public ::testing::WithParamInterface<DelayCase> {};

// A card held over one APDU: a response timeout longer than the hold gets
// the answer no sooner than the hold; a shorter one fails (the repeat
// requests get nothing), and the next APDU is answered, and only once,
// whichever way the first went.
TEST_P(HeldApdu, AnswersLateOnceOrTheHostGivesUp)
{
    const DelayCase &c = GetParam();
    ASSERT_NO_FATAL_FAILURE(Start({}, c.responseTimeoutMs, 1));
    ASSERT_EQ(PowerOn(0), 0UL);
    const std::string hold = std::to_string(c.delayMs);
    EXPECT_EQ(Ask("delay 0 " + hold), "ok: the next APDU to slot 0 is answered " + hold + " ms late");
    EXPECT_NE(Ask("status").find("; slot 0: card, powered, next APDU " + hold + " ms late;"), std::string::npos);

    Clock::time_point start = Clock::now();
    KYT_STATUS status = SelectMf();
    if (c.answered) {
        EXPECT_EQ(status, 0UL);
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(c.delayMs));
    } else {
        EXPECT_NE(status, 0UL);
    }
    EXPECT_NE(Ask("status").find("; slot 0: card, powered;"), std::string::npos) << "used up";

    KYT_TIMEOUTS generous = {10000, 1, 10000, 1};
    ASSERT_EQ(KYT_SetTimeouts(handle_, &generous), 0UL);
    Bytes response;
    EXPECT_EQ(Exchange(0, {0x00, 0x84, 0x00, 0x00, 0x08}, &response), 0UL);
    EXPECT_EQ(response.size(), 10u) << "a challenge and 90 00, not the SELECT's late answer";
}

const DelayCase kDelayCases[] = {
    {"WaitedFor", 1500, 8000, true},
    {"GivenUpOn", 30000, 400, false}, // the next APDU comes long before the card would answer
};

INSTANTIATE_TEST_SUITE_P(Cases, HeldApdu, ::testing::ValuesIn(kDelayCases),
                         [](const ::testing::TestParamInfo<DelayCase> &param) { return param.param.name; });

TEST_F(SimControls, DelayIsCancelledAndBadOnesRefused)
{
    ASSERT_NO_FATAL_FAILURE(Start({}));
    EXPECT_EQ(Ask("delay 1 600000"), "ok: the next APDU to slot 1 is answered 600000 ms late");
    EXPECT_EQ(Ask("delay 1 0"), "ok: the next APDU to slot 1 is answered without delay");
    EXPECT_EQ(Ask("status").find("late"), std::string::npos);
    for (const char *line :
         {"delay", "delay 0", "delay 0 3600001", "delay 0 -5", "delay 0 5s", "delay x 5", "delay 9 5", "delay 0 5 5",
          "silence 0", "silence 3600001", "silence soon", "silence off now"})
        EXPECT_EQ(Ask(line).substr(0, 7), "error: ") << line;
}

struct SilenceCase {
    const char *name;
    const char *command;
    const char *status; // what the status line's "silent:" part ends with meanwhile
    const char *end;    // the command that ends it, "" when it ends by itself
};

class SilentReader : public SimControls, public ::testing::WithParamInterface<SilenceCase> {};

// While silent the reader takes every byte and sends none, so every call
// fails; afterwards it answers at the line speed it had, with the card
// still powered.
TEST_P(SilentReader, DropsEverythingThenAnswersAsBefore)
{
    const SilenceCase &c = GetParam();
    ASSERT_NO_FATAL_FAILURE(Start({}, 300, 1));
    ASSERT_EQ(PowerOn(0), 0UL);
    ASSERT_EQ(KYT_SetBaudRate(handle_, 115200), 0UL);

    EXPECT_EQ(Ask(c.command).substr(0, 24), "ok: the reader is silent");
    std::string before = Ask("status");
    EXPECT_TRUE(rig::StatusPart(before, "silent").ends_with(c.status)) << before;
    KYT_ULONG icc = 0;
    EXPECT_NE(KYT_GetIccStatus(handle_, 0, &icc), 0UL);
    EXPECT_NE(SelectMf(), 0UL);
    std::string after = Ask("status");
    EXPECT_EQ(CountBefore(after, " bytes to it"), CountBefore(before, " bytes to it")) << after;
    EXPECT_GT(CountBefore(after, " bytes from the host"), CountBefore(before, " bytes from the host")) << after;

    if (*c.end != '\0') {
        EXPECT_EQ(Ask(c.end), "ok: the reader answers again");
    } else {
        Clock::time_point giveUp = Clock::now() + 30s;
        while (Ask("status").find("; silent: ") != std::string::npos && Clock::now() < giveUp)
            std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(Ask("status").find("silent"), std::string::npos);
    EXPECT_EQ(KYT_GetIccStatus(handle_, 0, &icc), 0UL);
    EXPECT_EQ(icc, KYT_ICC_POWERED);
    EXPECT_EQ(SelectMf(), 0UL);
    EXPECT_EQ(Ask("status").substr(0, 15), "ok: 115200 bit/");
}

const SilenceCase kSilenceCases[] = {
    {"ForAWhile", "silence 6000", " ms left", ""},
    {"UntilOff", "silence", "until \"silence off\"", "silence off"},
};

INSTANTIATE_TEST_SUITE_P(Cases, SilentReader, ::testing::ValuesIn(kSilenceCases),
                         [](const ::testing::TestParamInfo<SilenceCase> &param) { return param.param.name; });

// The reply to the firmware query, bytes 5 onward being the text.
Bytes FirmwareReply(ReaderHandle handle, KYT_ULONG capacity, KYT_STATUS *status)
{
    const Bytes &query = demo::kFirmwareQuery;
    Bytes reply(capacity);
    KYT_ULONG length = 0;
    *status = KYT_Control(handle, 0, KYT_IOCTL_ESCAPE, query.data(), query.size(), reply.data(), capacity, &length);
    reply.resize(length);
    return reply;
}

struct FirmwareCase {
    const char *text;
    KYT_ULONG slots; // that the library finds from it
};

class FirmwareText : public SimControls, public ::testing::WithParamInterface<FirmwareCase> {};

// The library's detection reads the model from the text given.
TEST_P(FirmwareText, NamesTheModel)
{
    const std::string text = GetParam().text;
    ASSERT_NO_FATAL_FAILURE(Start({"--model", "KYT7710P_V3", "--firmware", text}));
    KYT_ULONG slots = 0;
    EXPECT_EQ(KYT_GetNumSlots(handle_, &slots), 0UL);
    EXPECT_EQ(slots, GetParam().slots);
    KYT_STATUS status;
    Bytes reply = FirmwareReply(handle_, 35, &status);
    ASSERT_EQ(status, 0UL);
    ASSERT_EQ(reply.size(), 5 + text.size());
    EXPECT_EQ(reply[4], text.size());
    EXPECT_EQ(std::string(reply.begin() + 5, reply.end()), text);
}

const FirmwareCase kFirmwareCases[] = {
    {"KYT7710P 9.9.9 field trial", 2},
    {"KYT4460P 2.0", 3},
    {"KYT7710P_V3 1.0.1 build 261209", 3}, // 30 bytes, all the open takes
};

INSTANTIATE_TEST_SUITE_P(Texts, FirmwareText, ::testing::ValuesIn(kFirmwareCases));

// A text longer than the open's 35-byte reply: given once the reader is
// open, it reaches a caller with room for it, and the open refuses it.
TEST_F(SimControls, LongFirmwareTextAfterTheOpen)
{
    const std::string text = "KYT7710P_V3 1.0.1 " + std::string(82, 'x');
    ASSERT_NO_FATAL_FAILURE(Start({}));
    EXPECT_EQ(Ask("firmware " + text), "ok: the firmware text has 100 bytes");
    KYT_STATUS status;
    Bytes reply = FirmwareReply(handle_, 300, &status);
    ASSERT_EQ(status, 0UL);
    ASSERT_EQ(reply.size(), 105u);
    EXPECT_EQ(reply[4], 100);
    EXPECT_EQ(std::string(reply.begin() + 5, reply.end()), text);
    FirmwareReply(handle_, 35, &status);
    EXPECT_EQ(status, static_cast<KYT_STATUS>(E2BIG));

    EXPECT_EQ(Ask("firmware " + std::string(256, 'y')).substr(0, 7), "error: ");
    EXPECT_EQ(Ask("firmware " + std::string(255, 'y')), "ok: the firmware text has 255 bytes");
    EXPECT_EQ(FirmwareReply(handle_, 300, &status).size(), 260u);
    EXPECT_EQ(Ask("firmware"), "ok: the firmware text is the model's own");
    reply = FirmwareReply(handle_, 35, &status);
    EXPECT_EQ(std::string(reply.begin() + 5, reply.end()), demo::kFirmwareText);

    TearDown();
    handle_ = nullptr;
    std::string port;
    ASSERT_NO_FATAL_FAILURE(Spawn({"--firmware", text}, &port));
    EXPECT_EQ(KYT_OpenA(port.c_str(), &handle_), static_cast<KYT_STATUS>(EIO));
    handle_ = nullptr;
}

// An ATR of 40 bytes reaches the host whole, from the command line and
// from an insert; 254 bytes are the most a card may have.
TEST_F(SimControls, AtrsLongerThanIsoAllows)
{
    const Bytes atr = LongAtr(40);
    ASSERT_NO_FATAL_FAILURE(Start({"--card", "0:" + HexText(atr)}));
    EXPECT_EQ(Ask("insert 1 " + HexText(LongAtr(40))).substr(0, 3), "ok:");
    for (KYT_ULONG slot : {0UL, 1UL}) {
        unsigned char buffer[64];
        KYT_ULONG length = sizeof buffer;
        ASSERT_EQ(KYT_PowerOnIcc(handle_, slot, buffer, &length), 0UL) << slot;
        EXPECT_EQ(Bytes(buffer, buffer + length), atr) << slot;
    }
    EXPECT_EQ(Ask("insert 2 " + HexText(LongAtr(254))).substr(0, 3), "ok:");
    EXPECT_EQ(Ask("insert 2 " + HexText(LongAtr(255))).substr(0, 7), "error: ");

    rig::Program tooLong = rig::Spawn({"--card", "0:" + HexText(LongAtr(255))});
    rig::ReadAll(tooLong.out);
    EXPECT_EQ(rig::Wait(tooLong), 2);
}

TEST(SimControlOptions, HelpListsThemAndBadFirmwareIsRefused)
{
    rig::Program help = rig::Spawn({"--help"});
    std::string text = rig::ReadAll(help.out);
    EXPECT_EQ(rig::Wait(help), 0);
    for (const char *word : {"--firmware TEXT", "delay SLOT MS", "silence [MS]", "silence off", "firmware [TEXT]"})
        EXPECT_NE(text.find(word), std::string::npos) << word;
    for (const std::string &bad : {std::string(), std::string(256, 'x')}) {
        rig::Program refused = rig::Spawn({"--firmware", bad});
        rig::ReadAll(refused.out);
        EXPECT_EQ(rig::Wait(refused), 2) << bad.size();
    }
}

} // namespace
