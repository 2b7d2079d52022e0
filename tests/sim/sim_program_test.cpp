// The kyt_sim program as people run it: its options and its ready line, a
// host on the line it serves, and its end on a signal or at the end of its
// standard input, whatever it is doing then.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "demo_card.h"
#include "kyt.h"
#include "sim_program.h"
#include "sim_rig.h"
#include "temp_files.h"
#include "wire.h"
#include "wire_host.h"

using wire::Bytes;
using wire::Command;
using wire::Host;
using namespace std::chrono_literals;

namespace {

const Bytes kAck = wire::Ack();
const Bytes &kFirmwareQuery = demo::kFirmwareQuery;

} // namespace

// The process itself (sim_program.h).
using rig::Input;
using rig::Program;
using rig::ReadAll;
using rig::ReadyPort;
using rig::Spawn;
using rig::Wait;

TEST(SimProgram, RunsTheNamedSetupOnALinkUntilTerminated)
{
    rig::TempFolder folder("kyt_sim_test");
    ASSERT_TRUE(folder.Made());
    std::string link = folder.Path("reader");
    Program program = Spawn({"--model", "KYT4460P", "--speed", "19200", "--card", "1:3B0011", "--link", link});
    ASSERT_GT(program.pid, 0);
    char line[512] = {};
    ASSERT_NE(fgets(line, sizeof line, program.out), nullptr);
    EXPECT_EQ(std::string(line), "Simulated reader ready on " + link + "\n");

    {
        Host host(link, 19200);
        ASSERT_TRUE(host.ok());
        auto [ack, firmware] = host.Exchange(Command(0x6B, 0, 0, kFirmwareQuery));
        EXPECT_EQ(ack, kAck);
        ASSERT_GE(firmware.size(), 23u);
        EXPECT_EQ(std::string(firmware.begin() + 15, firmware.begin() + 23), "KYT4460P");
        auto [ack2, atr] = host.Exchange(Command(0x62, 1, 1));
        EXPECT_EQ(Bytes(atr.begin() + 10, atr.end()), (Bytes{0x3B, 0x00, 0x11}));
        auto [ack3, status] = host.Exchange(Command(0x65, 0, 2));
        EXPECT_EQ(status[7], 0x02); // no card in slot 0
        // An APDU reaches the card's file system: SELECT of the MF.
        auto [ack4, selected] = host.Exchange(Command(0x6F, 1, 3, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}));
        ASSERT_GE(selected.size(), 12u);
        EXPECT_EQ(Bytes(selected.end() - 2, selected.end()), (Bytes{0x90, 0x00}));
    }

    kill(program.pid, SIGTERM);
    EXPECT_EQ(Wait(program), 0);
    EXPECT_NE(access(link.c_str(), F_OK), 0) << "link left behind";
}

TEST(SimProgram, DemoSetupByDefault)
{
    Program program = Spawn({"--empty", "1"});
    ASSERT_GT(program.pid, 0);
    std::string path = ReadyPort(program);
    ASSERT_FALSE(path.empty());
    {
        Host host(path);
        ASSERT_TRUE(host.ok());
        // Slot 0 holds the T=1 demo card, slot 1 was emptied, slot 2 is empty.
        const uint8_t expected[] = {0x01, 0x02, 0x02};
        for (uint8_t slot = 0; slot < 3; slot++) {
            auto [ack, status] = host.Exchange(Command(0x65, slot, slot));
            ASSERT_EQ(status.size(), 10u);
            EXPECT_EQ(status[7], expected[slot]) << "slot " << int(slot);
        }
    }
    kill(program.pid, SIGINT);
    EXPECT_EQ(Wait(program), 0);
}

// --pace, --reader-delay and --card-delay reach the reader: a slot status
// (30 bytes on the line, 31 ms at 9600 bit/s) waits for the reader's delay,
// an APDU for the card's as well.  Only the lower bounds are checked: a
// loaded machine or an emulator may take any time longer.
TEST(SimProgram, PacingAndDelaysSlowTheAnswers)
{
    Program program = Spawn({"--pace", "--reader-delay", "200", "--card-delay", "300"});
    ASSERT_GT(program.pid, 0);
    std::string path = ReadyPort(program);
    ASSERT_FALSE(path.empty());
    {
        Host host(path);
        ASSERT_TRUE(host.ok());
        auto timed = [&](const Bytes &message) {
            auto start = std::chrono::steady_clock::now();
            auto [ack, response] = host.Exchange(message);
            EXPECT_EQ(ack, kAck);
            EXPECT_GE(response.size(), 10u);
            return std::chrono::steady_clock::now() - start;
        };
        auto status = timed(Command(0x65, 0, 0));
        EXPECT_GE(status, 200ms + 31ms);
        timed(Command(0x62, 0, 1)); // power the demo card on
        auto select = timed(Command(0x6F, 0, 2, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}));
        EXPECT_GE(select, 200ms + 300ms + 31ms);
    }
    kill(program.pid, SIGTERM);
    EXPECT_EQ(Wait(program), 0);
}

TEST(SimProgram, HelpAndBadOptions)
{
    Program help = Spawn({"--help"});
    std::string text = ReadAll(help.out);
    EXPECT_EQ(Wait(help), 0);
    for (const char *word : {"--model", "KYT7710P_V3", "KYT4460P", "--speed", "500000", "--card", "demo-t1", "demo-t0",
                             "ATR", "--empty", "--block", "--link", "--pace", "--reader-delay", "--card-delay",
                             "rules:FILE", "--record", "--adapter-latency"})
        EXPECT_NE(text.find(word), std::string::npos) << word;

    for (const std::vector<std::string> &args : {std::vector<std::string>{"--model", "KYT9999"},
                                                 {"--speed", "4800"},
                                                 {"--card", "0:3B0"},
                                                 {"--card", "x:demo-t1"},
                                                 {"--frobnicate"},
                                                 {"--reader-delay", "soon"},
                                                 {"--pace", "--card-delay", "-5"},
                                                 {"--adapter-latency", "2000"}}) {
        Program bad = Spawn(args);
        ReadAll(bad.out);
        EXPECT_EQ(Wait(bad), 2) << args[0];
    }
}

// kyt_sim ends with status 0 on each of the signals that end it, whatever
// it is doing: reading commands, writing answers nobody reads, or answering
// a host on a paced line.
namespace {

// Waits up to `wait` for a condition that another thread makes true.
template <typename Condition>
bool Eventually(Condition condition, std::chrono::milliseconds wait = 30000ms)
{
    auto deadline = std::chrono::steady_clock::now() + wait;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// One exchange on the host end of the line; false once the reader is gone
// (or silent for two seconds).
bool Talk(int fd, const Bytes &message)
{
    Bytes frame = wire::Frame(message);
    if (write(fd, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size()))
        return false;
    size_t expected = kAck.size() + frame.size(); // a slot status answers with a header alone
    for (size_t got = 0; got < expected;) {
        pollfd p = {fd, POLLIN, 0};
        uint8_t buffer[64];
        ssize_t n = poll(&p, 1, 2000) == 1 ? read(fd, buffer, sizeof buffer) : -1;
        if (n <= 0)
            return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

std::string SignalName(const ::testing::TestParamInfo<int> &info)
{
    switch (info.param) {
    case SIGTERM:
        return "SIGTERM";
    case SIGINT:
        return "SIGINT";
    default:
        return "SIGHUP";
    }
}

class SimProgramEnd : public ::testing::TestWithParam<int> {
protected:
    // Writes to a program that has gone must fail, not kill the test.
    void SetUp() override { std::signal(SIGPIPE, SIG_IGN); }
};

} // namespace

TEST_P(SimProgramEnd, WhileCommandsArrive)
{
    Program program = Spawn({}, Input::Pipe);
    ASSERT_GT(program.pid, 0);
    ASSERT_FALSE(ReadyPort(program).empty());
    fcntl(program.in, F_SETFL, O_NONBLOCK);
    std::atomic<int> answers{0};
    std::atomic<bool> ended{false};
    std::thread reader([&] {
        char line[512];
        while (fgets(line, sizeof line, program.out)) {
            if (std::strncmp(line, "ok: ", 4) == 0)
                answers++;
        }
    });
    std::thread writer([&] {
        const std::string commands = "status\nremove 2\ninsert 2 demo-t0\nbounce 2\n";
        while (!ended) {
            pollfd p = {program.in, POLLOUT, 0};
            if (poll(&p, 1, 100) == 1 && write(program.in, commands.data(), commands.size()) < 0 && errno != EAGAIN)
                break;
        }
    });
    EXPECT_TRUE(Eventually([&] { return answers >= 40; }));
    kill(program.pid, GetParam());
    EXPECT_EQ(rig::ExitStatus(program.pid, 30000ms), 0);
    ended = true;
    writer.join();
    reader.join();
    Wait(program);
}

TEST_P(SimProgramEnd, WithItsAnswersUnread)
{
    Program program = Spawn({}, Input::Pipe);
    ASSERT_GT(program.pid, 0);
    ASSERT_FALSE(ReadyPort(program).empty());
    // The output pipe shrunk to one page takes the first answer and then
    // reports no room until it is read: the command thread waits for room
    // that never comes.
    int out = fileno(program.out);
    ASSERT_GT(fcntl(out, F_SETPIPE_SZ, 4096), 0);
    std::string commands;
    for (int i = 0; i < 1000; i++)
        commands += "status\n";
    ASSERT_EQ(write(program.in, commands.data(), commands.size()), static_cast<ssize_t>(commands.size()));
    EXPECT_TRUE(Eventually([&] {
        int queued = 0;
        return ioctl(out, FIONREAD, &queued) == 0 && queued > 0;
    }));
    kill(program.pid, GetParam());
    EXPECT_EQ(Wait(program, 30000ms), 0);
}

TEST_P(SimProgramEnd, WhileTheHostTalks)
{
    Program program = Spawn({"--pace"}, Input::Pipe);
    ASSERT_GT(program.pid, 0);
    std::string path = ReadyPort(program);
    ASSERT_FALSE(path.empty());
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios raw{};
    tcgetattr(fd, &raw);
    cfmakeraw(&raw);
    cfsetispeed(&raw, B9600);
    cfsetospeed(&raw, B9600);
    tcsetattr(fd, TCSANOW, &raw);
    // Paced at 9600 bit/s, the reader spends most of each exchange waiting
    // for its bytes to cross the line: the signal finds it in the middle.
    std::atomic<int> exchanges{0};
    std::thread host([&] {
        for (uint8_t seq = 0; Talk(fd, Command(0x65, 0, seq)); seq++)
            exchanges++;
    });
    EXPECT_TRUE(Eventually([&] { return exchanges >= 5; }));
    kill(program.pid, GetParam());
    EXPECT_EQ(Wait(program, 30000ms), 0);
    host.join();
    close(fd);
}

INSTANTIATE_TEST_SUITE_P(Signals, SimProgramEnd, ::testing::Values(SIGTERM, SIGINT, SIGHUP), SignalName);

// The end of standard input ends only the commands: with its input at its
// end from the start, closed altogether, or closed later, kyt_sim still
// serves a reader that the library opens through it.
class SimProgramInput : public ::testing::TestWithParam<Input> {};

TEST_P(SimProgramInput, ReaderOpensAfterTheInputEnded)
{
    rig::SimRig sim;
    ASSERT_TRUE(sim.Begin({}, {GetParam(), rig::Errors::Inherited, false}));
    sim.Process().CloseInput();
    ASSERT_TRUE(sim.Open());
    ReaderHandle reader = sim.Handle();
    unsigned char atr[33];
    KYT_ULONG atrLength = sizeof atr;
    EXPECT_EQ(KYT_PowerOnIcc(reader, 0, atr, &atrLength), KYT_SUCCESS);
    const unsigned char selectMf[] = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
    unsigned char response[258];
    KYT_ULONG responseLength = sizeof response;
    EXPECT_EQ(KYT_ExchangeApdu(reader, 0, selectMf, sizeof selectMf, response, &responseLength), KYT_SUCCESS);
    EXPECT_EQ(Bytes(response, response + responseLength), (Bytes{0x90, 0x00}));
    sim.End(); // closed, and kyt_sim ends with status 0
}

INSTANTIATE_TEST_SUITE_P(Inputs, SimProgramInput, ::testing::Values(Input::Null, Input::Closed, Input::Pipe),
                         [](const ::testing::TestParamInfo<Input> &param) {
                             switch (param.param) {
                             case Input::Null:
                                 return "AtItsEnd";
                             case Input::Closed:
                                 return "Closed";
                             default:
                                 return "ClosedLater";
                             }
                         });
