// Cards over the vpcd protocol: the real kyt_sim program with a slot that
// waits for a card emulator, the library on its pty, and at the slot's port
// an emulator of the tests' own or Debian's vicc.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "demo_card.h"
#include "kyt.h"
#include "sim_program.h"
#include "sim_rig.h"
#include "temp_files.h"
#include "vpcd_emulator.h"

namespace {

using kytsim::Bytes;
using rig::SimRig;
using rig::VpcdEmulator;
using namespace std::chrono_literals;

const Bytes kSelectMf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
const Bytes kOk = {0x90, 0x00};

// kyt_sim with its standard error collected, for what the vpcd slots
// report.  At the end kyt_sim must stop cleanly (under the sanitizers, with
// nothing to report).
const rig::SimOptions kWatched = {rig::Input::Null, rig::Errors::Separate};

// Waits until the slot shows `wanted` (KYT_ICC_ABSENT, _PRESENT...).
bool AwaitIccStatus(SimRig &session, KYT_ULONG slot, KYT_ULONG wanted)
{
    auto giveUp = std::chrono::steady_clock::now() + 30s;
    KYT_ULONG status = KYT_ICC_UNKNOWN;
    while (KYT_GetIccStatus(session.Handle(), slot, &status) != KYT_SUCCESS || status != wanted) {
        if (std::chrono::steady_clock::now() > giveUp)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// Connects the emulator to the slot's port and waits for its card.
bool Attach(SimRig &session, VpcdEmulator &emulator, KYT_ULONG slot)
{
    return emulator.Connect(session.VpcdPort(static_cast<unsigned>(slot))) &&
           AwaitIccStatus(session, slot, KYT_ICC_PRESENT);
}

// The demo card in slot 1 answers as ever.
void ExpectDemoCardAnswers(SimRig &session)
{
    KYT_STATUS status;
    EXPECT_EQ(session.Atr(1, &status), demo::kT1Atr);
    EXPECT_EQ(session.Answer(1, kSelectMf, &status), kOk);
}

TEST(VpcdCard, PowerEventsAndWholeApdusReachTheEmulator)
{
    // Responses longer than 100 bytes cross the line in chained blocks.
    SimRig session;
    ASSERT_TRUE(session.Begin({"--card", "0:vpcd:0", "--block", "100"}, kWatched));
    VpcdEmulator emulator;
    ASSERT_TRUE(Attach(session, emulator, 0));

    KYT_STATUS status;
    EXPECT_EQ(session.Atr(0, &status), VpcdEmulator::Atr());
    // 600 bytes reach the reader in chained blocks and the emulator as one
    // APDU; its 602-byte answer comes back in blocks and is joined again.
    Bytes apdu(600);
    for (size_t i = 0; i < apdu.size(); i++)
        apdu[i] = static_cast<uint8_t>(i * 7 + 1);
    EXPECT_EQ(session.Answer(0, apdu, &status), VpcdEmulator::AnswerTo(apdu));
    EXPECT_EQ(status, KYT_SUCCESS);
    // A power-on of the powered card resets it.
    EXPECT_EQ(session.Atr(0, &status), VpcdEmulator::Atr());
    EXPECT_EQ(KYT_PowerOffIcc(session.Handle(), 0), KYT_SUCCESS);

    ASSERT_TRUE(emulator.AwaitMessages(6));
    std::vector<Bytes> expected = {{0x01}, {0x04}, apdu, {0x02}, {0x04}, {0x00}};
    EXPECT_EQ(emulator.Messages(), expected);
}

// A session with an emulator, recorded, is answered the same by the rules
// card that the recording makes, with no emulator behind the slot.
TEST(VpcdCard, ARecordedSessionReplaysAsARulesCard)
{
    rig::TempFolder folder("kyt_vpcd_record");
    ASSERT_TRUE(folder.Made());
    const std::string base = folder.Path("session");
    const std::vector<Bytes> apdus = {kSelectMf, Bytes(300, 0x5A), {0x00, 0x84, 0x00, 0x00, 0x08}};
    std::vector<Bytes> answers;
    {
        SimRig session;
        ASSERT_TRUE(session.Begin({"--card", "0:vpcd:0", "--record", base}, kWatched));
        VpcdEmulator emulator;
        ASSERT_TRUE(Attach(session, emulator, 0));
        KYT_STATUS status;
        ASSERT_EQ(session.Atr(0, &status), VpcdEmulator::Atr());
        for (const Bytes &apdu : apdus) {
            answers.push_back(session.Answer(0, apdu, &status));
            ASSERT_EQ(answers.back(), VpcdEmulator::AnswerTo(apdu));
        }
    }
    SimRig replay;
    ASSERT_TRUE(replay.Begin({"--card", "0:rules:" + base + ".slot0"}, kWatched));
    KYT_STATUS status;
    EXPECT_EQ(replay.Atr(0, &status), VpcdEmulator::Atr());
    for (size_t i = 0; i < apdus.size(); i++)
        EXPECT_EQ(replay.Answer(0, apdus[i], &status), answers[i]) << "APDU " << i;
    EXPECT_EQ(replay.Answer(0, {0x00, 0xB0, 0x00, 0x00, 0x01}, &status), (Bytes{0x6D, 0x00}))
        << "a command the session never sent";
}

TEST(VpcdCard, TheSlotHoldsACardWhileOneEmulatorIsConnected)
{
    SimRig session;
    ASSERT_TRUE(session.Begin({"--card", "0:vpcd:0"}, kWatched));
    uint16_t port = session.VpcdPort(0);
    ASSERT_NE(port, 0);
    EXPECT_TRUE(AwaitIccStatus(session, 0, KYT_ICC_ABSENT));
    VpcdEmulator first;
    ASSERT_TRUE(first.Connect(port));
    ASSERT_TRUE(AwaitIccStatus(session, 0, KYT_ICC_PRESENT));

    // A second emulator is turned away, and the first keeps the slot.
    VpcdEmulator second;
    ASSERT_TRUE(second.Connect(port));
    EXPECT_TRUE(second.AwaitClosed());
    EXPECT_TRUE(session.Process().AwaitError("slot 0: refused a second card emulator"));
    KYT_STATUS status;
    EXPECT_EQ(session.Atr(0, &status), VpcdEmulator::Atr());
    EXPECT_EQ(session.Answer(0, kSelectMf, &status), VpcdEmulator::AnswerTo(kSelectMf));
    EXPECT_TRUE(second.Messages().empty());

    first.Disconnect();
    EXPECT_TRUE(AwaitIccStatus(session, 0, KYT_ICC_ABSENT));
    EXPECT_TRUE(session.Process().AwaitError("slot 0: card emulator gone (it closed the connection)"));
    session.Atr(0, &status);
    EXPECT_EQ(status, KYT_ERR_REMOVED_CARD);

    // Back again: a fresh card, powered up rather than reset.
    ASSERT_TRUE(first.Connect(port));
    ASSERT_TRUE(AwaitIccStatus(session, 0, KYT_ICC_PRESENT));
    EXPECT_EQ(session.Atr(0, &status), VpcdEmulator::Atr());
    EXPECT_EQ(first.Messages(), (std::vector<Bytes>{{0x01}, {0x04}}));
}

// An emulator that breaks the protocol, or stops answering, loses its
// connection and the slot its card; the reader goes on with the other
// slots, and the next emulator to connect is served as ever.
struct Breach {
    const char *name;
    enum { AtPowerOn, AtApdu, Unasked } when;
    VpcdEmulator::Responder responder;
    const char *reported;
};

Bytes AnswerApdus(const Bytes &message, const Bytes &wire)
{
    return message.size() > 1 ? wire : VpcdEmulator::PlainReply(message);
}

Bytes AnswerAtr(const Bytes &message, const Bytes &wire)
{
    return message == Bytes{0x04} ? wire : VpcdEmulator::PlainReply(message);
}

const Breach kBreaches[] = {
    {"silent on an APDU", Breach::AtApdu, [](const Bytes &m) { return AnswerApdus(m, {}); },
     "no answer within 1000 ms"},
    {"a response cut short", Breach::AtApdu,
     [](const Bytes &m) {
         return AnswerApdus(m, {0xFF, 0xFF, 0x90});
     },
     "no answer within 1000 ms"},
    {"an empty response", Breach::AtApdu,
     [](const Bytes &m) {
         return AnswerApdus(m, {0x00, 0x00});
     },
     "it sent a response of length 0"},
    {"a response without SW2", Breach::AtApdu,
     [](const Bytes &m) { return AnswerApdus(m, VpcdEmulator::Wire({0x90})); }, "it sent a response of length 1"},
    {"an ATR longer than any", Breach::AtPowerOn,
     [](const Bytes &m) { return AnswerAtr(m, VpcdEmulator::Wire(Bytes(255, 0x3B))); }, "it sent an ATR of length 255"},
    {"an ATR of one byte", Breach::AtPowerOn, [](const Bytes &m) { return AnswerAtr(m, VpcdEmulator::Wire({0x3B})); },
     "it sent an ATR of length 1"},
    {"a length of 65535 for an ATR", Breach::AtPowerOn,
     [](const Bytes &m) {
         return AnswerAtr(m, {0xFF, 0xFF, 0x3B});
     },
     "it sent an ATR of length 65535"},
    {"bytes nobody asked for", Breach::Unasked, VpcdEmulator::PlainReply, "data that nothing asked for"},
};

TEST(VpcdCard, AnEmulatorThatFailsLosesTheSlotAndTheReaderGoesOn)
{
    SimRig session;
    ASSERT_TRUE(session.Begin({"--card", "0:vpcd:0", "--card", "1:demo-t1", "--vpcd-timeout", "1000"}, kWatched));
    uint16_t port = session.VpcdPort(0);
    for (const Breach &breach : kBreaches) {
        SCOPED_TRACE(breach.name);
        VpcdEmulator emulator(breach.responder);
        ASSERT_TRUE(emulator.Connect(port));
        ASSERT_TRUE(AwaitIccStatus(session, 0, KYT_ICC_PRESENT));
        KYT_STATUS status;
        Bytes atr = session.Atr(0, &status);
        if (breach.when == Breach::AtPowerOn) {
            EXPECT_EQ(status, KYT_ERR_UNRESPONSIVE_CARD);
        } else {
            EXPECT_EQ(atr, VpcdEmulator::Atr());
        }
        if (breach.when == Breach::AtApdu) {
            // The reader reports the card mute; the library's own wait for
            // the reader (10 s) is longer than the emulator's 1 s.
            session.Answer(0, kSelectMf, &status);
            EXPECT_EQ(status, static_cast<KYT_STATUS>(ETIMEDOUT));
        }
        if (breach.when == Breach::Unasked)
            emulator.SendRaw(VpcdEmulator::Wire(kOk));

        EXPECT_TRUE(emulator.AwaitClosed());
        EXPECT_TRUE(AwaitIccStatus(session, 0, KYT_ICC_ABSENT));
        EXPECT_TRUE(session.Process().AwaitError(breach.reported)) << session.Process().ErrorText();
        ExpectDemoCardAnswers(session);
        VpcdEmulator next;
        ASSERT_TRUE(next.Connect(port));
        ASSERT_TRUE(AwaitIccStatus(session, 0, KYT_ICC_PRESENT));
        EXPECT_EQ(session.Atr(0, &status), VpcdEmulator::Atr());
        EXPECT_EQ(session.Answer(0, kOk, &status), VpcdEmulator::AnswerTo(kOk));
    }
    EXPECT_EQ(session.Process().Stop(SIGTERM), 0);
}

// kyt_sim ends with status 0 on SIGINT and SIGTERM with an emulator
// connected, even while the reader waits for its answer: with a timeout of
// ten minutes, only the stop itself can end that wait within the test's
// bound.
TEST(VpcdCard, EndsCleanlyWithAnEmulatorConnected)
{
    for (bool waiting : {false, true}) {
        SCOPED_TRACE(waiting ? "while the reader waits for the emulator" : "with the emulator idle");
        SimRig session;
        ASSERT_TRUE(session.Begin({"--card", "0:vpcd:0", "--vpcd-timeout", "600000"}, kWatched));
        VpcdEmulator emulator([](const Bytes &m) { return AnswerApdus(m, {}); });
        ASSERT_TRUE(Attach(session, emulator, 0));
        KYT_STATUS status;
        EXPECT_EQ(session.Atr(0, &status), VpcdEmulator::Atr());
        std::thread exchange;
        if (waiting) {
            exchange = std::thread([&] { session.Answer(0, kSelectMf, &status); });
            ASSERT_TRUE(emulator.AwaitMessages(3)); // the reader now waits for the answer
        }
        EXPECT_EQ(session.Process().Stop(waiting ? SIGTERM : SIGINT), 0);
        EXPECT_TRUE(emulator.AwaitClosed());
        if (exchange.joinable()) {
            exchange.join();
            EXPECT_NE(status, KYT_SUCCESS);
        }
    }
}

// A socket listening on 127.0.0.1 at a port of the kernel's choice.
int ListeningSocket(uint16_t *port)
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&address), size) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
        ADD_FAILURE() << "no listening socket";
        return -1;
    }
    *port = ntohs(address.sin_port);
    return listener;
}

// True when nothing on this machine listens on 127.0.0.1:port.
bool PortFree(uint16_t port)
{
    int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool free = probe >= 0 && bind(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    if (probe >= 0)
        close(probe);
    return free;
}

TEST(VpcdCard, PortsAndOptions)
{
    rig::SimProgram help({"--help"});
    std::string usage = help.Output();
    EXPECT_EQ(help.Wait(), 0);
    for (const char *word : {"SLOT:vpcd[:PORT]", "35963", "--vpcd-timeout", "Slot SLOT waits for a card emulator"})
        EXPECT_NE(usage.find(word), std::string::npos) << word;

    // The default port is vsmartcard's plus the slot number.
    if (PortFree(35963 + 2)) {
        rig::SimProgram program({"--card", "2:vpcd", "--card", "0:vpcd:0"});
        ASSERT_TRUE(program.AwaitReady()) << program.ErrorText();
        EXPECT_EQ(program.VpcdPort(2), 35963 + 2);
        EXPECT_NE(program.VpcdPort(0), 0);
        EXPECT_EQ(program.Stop(SIGTERM), 0);
    }
    // A port that something else holds: kyt_sim says so and does not start.
    uint16_t taken = 0;
    int holder = ListeningSocket(&taken);
    ASSERT_GE(holder, 0);
    {
        rig::SimProgram program({"--card", "1:vpcd:" + std::to_string(taken)});
        EXPECT_EQ(program.Wait(), 1);
        EXPECT_NE(program.ErrorText().find("slot 1: cannot listen on 127.0.0.1:" + std::to_string(taken)),
                  std::string::npos)
            << program.ErrorText();
    }
    close(holder);

    for (const std::vector<std::string> &args : {std::vector<std::string>{"--card", "0:vpcd:65536"},
                                                 {"--card", "0:vpcd:"},
                                                 {"--card", "0:vpcd:port"},
                                                 {"--card", "0:vpcdx"},
                                                 {"--vpcd-timeout", "0"},
                                                 {"--vpcd-timeout", "soon"}}) {
        rig::SimProgram bad(args);
        EXPECT_EQ(bad.Wait(), 2) << args[1];
    }
}

// Debian's vicc (vsmartcard-vpicc 0.8) as the emulator, run through
// scripts/vicc.sh.  Its iso7816 card answers power-on with its ATR, SELECT
// without FCI, GET CHALLENGE and READ BINARY (with no file selected); a
// SELECT that returns an FCI ends it, and its other card types do not start
// under Python 3.
const char kVicc[] = "/usr/bin/vicc";
const char kCryptodome[] = "/usr/lib/python3/dist-packages/Cryptodome";
const Bytes kViccAtr = {0x3B, 0x95, 0x13, 0x81, 0x01, 0x80, 0x73, 0xFF, 0x01, 0x00, 0x0B};

class Vicc {
public:
    explicit Vicc(uint16_t port)
    {
        log_ = rig::UnnamedFile();
        std::string script = std::string(KYT_SOURCE_DIR) + "/scripts/vicc.sh";
        std::string portText = std::to_string(port);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(log_, STDOUT_FILENO);
            dup2(log_, STDERR_FILENO);
            execl("/bin/sh", "sh", script.c_str(), "--hostname", "127.0.0.1", "--port", portText.c_str(),
                  static_cast<char *>(nullptr));
            _exit(127);
        }
    }
    ~Vicc()
    {
        Stop();
        close(log_);
    }
    Vicc(const Vicc &) = delete;
    Vicc &operator=(const Vicc &) = delete;

    void Stop()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    // What vicc printed, for a failure's message.
    std::string Log() const
    {
        std::string text(8192, '\0');
        ssize_t n = pread(log_, text.data(), text.size(), 0);
        text.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return text;
    }

private:
    pid_t pid_ = -1;
    int log_ = -1;
};

// The ISO 7816 commands vicc's card answers, through the library.
void ExpectViccAnswers(SimRig &session, const Vicc &vicc)
{
    KYT_STATUS status;
    ASSERT_EQ(session.Atr(0, &status), kViccAtr) << vicc.Log();
    EXPECT_EQ(session.Answer(0, kSelectMf, &status), kOk);
    EXPECT_EQ(session.Answer(0, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x2F, 0xE2}, &status), (Bytes{0x6A, 0x82}));
    EXPECT_EQ(session.Answer(0, {0x00, 0xB0, 0x00, 0x00, 0x08}, &status), (Bytes{0x69, 0x86}));
    const Bytes getChallenge = {0x00, 0x84, 0x00, 0x00, 0x08};
    Bytes first = session.Answer(0, getChallenge, &status);
    Bytes second = session.Answer(0, getChallenge, &status);
    ASSERT_EQ(first.size(), 10u) << vicc.Log();
    ASSERT_EQ(second.size(), 10u);
    EXPECT_EQ(Bytes(first.end() - 2, first.end()), kOk);
    EXPECT_NE(first, second); // eight random bytes each time
}

TEST(VpcdVicc, DebiansViccBehindASlot)
{
    if (access(kVicc, X_OK) != 0 || access(kCryptodome, F_OK) != 0) {
        if (getenv("KYT_REQUIRE_VICC"))
            FAIL() << "KYT_REQUIRE_VICC is set, but vsmartcard-vpicc or python3-pycryptodome is missing";
        GTEST_SKIP() << "needs vicc (vsmartcard-vpicc) and python3-pycryptodome; the PC/SC stage installs them";
    }
    SimRig session;
    ASSERT_TRUE(session.Begin({"--card", "0:vpcd:0", "--card", "1:demo-t1"}, kWatched));
    uint16_t port = session.VpcdPort(0);
    {
        Vicc vicc(port);
        ASSERT_TRUE(AwaitIccStatus(session, 0, KYT_ICC_PRESENT)) << vicc.Log();
        ExpectViccAnswers(session, vicc);
        // A power cycle, and the same ATR again.
        EXPECT_EQ(KYT_PowerOffIcc(session.Handle(), 0), KYT_SUCCESS);
        KYT_STATUS status;
        EXPECT_EQ(session.Atr(0, &status), kViccAtr);
        ExpectDemoCardAnswers(session);

        vicc.Stop();
        EXPECT_TRUE(AwaitIccStatus(session, 0, KYT_ICC_ABSENT));
        EXPECT_TRUE(session.Process().AwaitError("slot 0: card emulator gone"));
    }
    Vicc again(port);
    ASSERT_TRUE(AwaitIccStatus(session, 0, KYT_ICC_PRESENT)) << again.Log();
    ExpectViccAnswers(session, again);
    EXPECT_EQ(session.Process().Stop(SIGTERM), 0);
}

} // namespace
