// kyt_probe, the real program, against simulated readers of every model,
// a line with nothing behind it, a reader that answers garbage, a held port,
// a port this user may not open, a port that hangs up mid-probe and names
// that are no port at all.
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "iso_card.h"
#include "line_relay.h"
#include "program_run.h"
#include "pty_line.h"
#include "reader_rig.h"
#include "temp_files.h"

namespace {

constexpr int kFound = 0;
constexpr int kNotFound = 1;
constexpr int kUsage = 2;

rig::ProgramRun Probe(const std::vector<std::string> &args, const std::vector<std::string> &prefix = {})
{
    std::vector<std::string> argv = prefix;
    argv.push_back(KYT_PROBE_BINARY);
    argv.insert(argv.end(), args.begin(), args.end());
    return rig::RunProgram(argv, "");
}

// The block kyt_probe printed for `port`: its name line and the indented
// lines below it.
std::string BlockOf(const std::string &output, const std::string &port)
{
    size_t start = output.find(port + "\n");
    while (start != std::string::npos && start > 0 && output[start - 1] != '\n')
        start = output.find(port + "\n", start + 1);
    if (start == std::string::npos)
        return "";
    size_t end = output.find("\n\n", start);
    return output.substr(start, end == std::string::npos ? std::string::npos : end + 1 - start);
}

std::unique_ptr<kytsim::SimReader> SimWith(kytsim::Model model, uint32_t speed, unsigned cardSlot)
{
    kytsim::Config config;
    config.model = model;
    config.speed = speed;
    auto sim = rig::StartSim(config);
    if (sim) {
        for (unsigned slot = 0; slot < 3; slot++)
            sim->RemoveCard(slot);
        sim->InsertCard(cardSlot, rig::PlainCard());
    }
    return sim;
}

speed_t PortSpeed(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY);
    termios settings{};
    speed_t speed = tcgetattr(fd, &settings) == 0 ? cfgetispeed(&settings) : B0;
    close(fd);
    return speed;
}

// Each model at two speeds, found in one run; afterwards each port
// is back at the settings it had, not at the speed the reader answered at.
TEST(Probe, ReadersOfEveryModelAtTheirSpeeds)
{
    const struct {
        kytsim::Model model;
        uint32_t speed;
        unsigned cardSlot;
        const char *lines;
    } cases[] = {
        {kytsim::Model::KYT7710P, 9600, 1,
         "  reader:    KYT7710P, 2 slots, found at 9600 bit/s\n"
         "  firmware:  KYT7710P 1.0.1\n"
         "  slot 0:    no card\n"
         "  slot 1:    card present, not powered\n"},
        {kytsim::Model::KYT7710P_V3, 57600, 2,
         "  reader:    KYT7710P_V3, 3 slots, found at 57600 bit/s\n"
         "  firmware:  KYT7710P_V3 1.0.1\n"
         "  slot 0:    no card\n"
         "  slot 1:    no card\n"
         "  slot 2:    card present, not powered\n"},
        {kytsim::Model::KYT4460P, 115200, 0,
         "  reader:    KYT4460P, 3 slots, found at 115200 bit/s\n"
         "  firmware:  KYT4460P 1.0.1\n"
         "  slot 0:    card present, not powered\n"
         "  slot 1:    no card\n"
         "  slot 2:    no card\n"},
        {kytsim::Model::KYT7710P, 115200, 0,
         "  reader:    KYT7710P, 2 slots, found at 115200 bit/s\n"
         "  firmware:  KYT7710P 1.0.1\n"
         "  slot 0:    card present, not powered\n"
         "  slot 1:    no card\n"},
        {kytsim::Model::KYT7710P_V3, 19200, 1,
         "  reader:    KYT7710P_V3, 3 slots, found at 19200 bit/s\n"
         "  firmware:  KYT7710P_V3 1.0.1\n"
         "  slot 0:    no card\n"
         "  slot 1:    card present, not powered\n"
         "  slot 2:    no card\n"},
        {kytsim::Model::KYT4460P, 38400, 2,
         "  reader:    KYT4460P, 3 slots, found at 38400 bit/s\n"
         "  firmware:  KYT4460P 1.0.1\n"
         "  slot 0:    no card\n"
         "  slot 1:    no card\n"
         "  slot 2:    card present, not powered\n"},
    };
    std::vector<std::unique_ptr<kytsim::SimReader>> sims;
    std::vector<std::string> ports;
    for (const auto &c : cases) {
        sims.push_back(SimWith(c.model, c.speed, c.cardSlot));
        ASSERT_TRUE(sims.back());
        ports.push_back(sims.back()->PortPath());
    }
    rig::ProgramRun run = Probe(ports);
    EXPECT_EQ(run.exitStatus, kFound) << run.output;
    for (size_t i = 0; i < ports.size(); i++) {
        SCOPED_TRACE(ports[i]);
        EXPECT_EQ(BlockOf(run.output, ports[i]), ports[i] + "\n" + cases[i].lines) << run.output;
        EXPECT_EQ(PortSpeed(ports[i]), static_cast<speed_t>(B9600));
    }
}

// Where no reader answers, the probe says why and goes on to the next port.
TEST(Probe, PortsWithoutAReaderAreReportedAndTheNextOneIsProbed)
{
    rig::PtyLine empty; // a line with nobody at its other end
    ASSERT_TRUE(rig::OpenPtyLine(&empty));
    kytsim::Config garbled;
    garbled.firmwareReply = rig::Hex("E1 00 00 18 0C 4E 4F 54 20 41 20 52 45 41 44 45 52"); // "NOT A READER"
    auto garbage = rig::StartSim(garbled);
    ASSERT_TRUE(garbage);
    auto good = SimWith(kytsim::Model::KYT7710P, 9600, 0);
    ASSERT_TRUE(good);

    rig::TempFolder folder("kyt-probe");
    ASSERT_TRUE(folder.Made());
    const std::string dir = folder.Dir(), file = folder.Write("file", ""), fifo = dir + "/fifo",
                      dangling = dir + "/dangling";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(symlink((dir + "/nothing").c_str(), dangling.c_str()), 0);

    const std::string noReader =
        "  no reader: no KYT reader answered at 9600 to 115200 bit/s (0x00000005, "
        "Input/output error)\n";
    const struct {
        std::string port;
        std::string lines;
    } cases[] = {
        {empty.slavePath, noReader},
        {garbage->PortPath(), noReader},
        {dir, "  no port:   " + dir + " is a folder, not a serial port\n"},
        {file, "  no port:   " + file + " is a regular file, not a serial port\n"},
        {fifo, "  no port:   " + fifo + " is a FIFO, not a serial port\n"},
        {dangling, "  no port:   no such port (No such file or directory)\n"},
        {"/dev/null", "  no port:   /dev/null is a device that is no terminal, not a serial port\n"},
        {good->PortPath(), "  reader:    KYT7710P, 2 slots, found at 9600 bit/s\n"},
    };
    std::vector<std::string> ports;
    for (const auto &c : cases)
        ports.push_back(c.port);
    rig::ProgramRun run = Probe(ports);
    EXPECT_EQ(run.exitStatus, kFound) << run.output;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.port);
        EXPECT_EQ(BlockOf(run.output, c.port).substr(0, c.port.size() + 1 + c.lines.size()), c.port + "\n" + c.lines)
            << run.output;
    }
    // Without the last port nothing answered.
    ports.pop_back();
    EXPECT_EQ(Probe({ports.back()}).exitStatus, kNotFound);

    rig::ClosePtyLine(&empty);
}

// A port that another program holds is reported, with the holder, and not
// a byte reaches the reader; the holder goes on working.
TEST(Probe, HeldPortIsReportedWithNothingSent)
{
    auto sim = SimWith(kytsim::Model::KYT7710P_V3, 9600, 0);
    ASSERT_TRUE(sim);
    ReaderHandle holder = rig::Open(*sim);
    ASSERT_NE(holder, nullptr);
    const uint64_t sent = sim->Counts().fromHost;

    rig::ProgramRun run = Probe({sim->PortPath()});
    EXPECT_EQ(run.exitStatus, kNotFound);
    const std::string block = BlockOf(run.output, sim->PortPath());
    EXPECT_NE(block.find("  in use:    another program holds the port: "), std::string::npos) << run.output;
    EXPECT_NE(block.find("(pid " + std::to_string(getpid()) + "); nothing was sent\n"), std::string::npos)
        << run.output;
    EXPECT_EQ(sim->Counts().fromHost, sent);

    KYT_ULONG state = KYT_ICC_UNKNOWN;
    EXPECT_EQ(KYT_GetIccStatus(holder, 0, &state), KYT_SUCCESS);
    EXPECT_EQ(state, KYT_ICC_PRESENT);
    EXPECT_EQ(KYT_Close(holder), KYT_SUCCESS);
}

// An ordinary user who may not open the port is told so, with the fix.
TEST(Probe, PortWithoutPermissionNamesItsGroupAndTheFix)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to run kyt_probe as another user";
    auto sim = SimWith(kytsim::Model::KYT7710P, 9600, 0);
    ASSERT_TRUE(sim);
    ASSERT_EQ(chmod(sim->PortPath().c_str(), 0600), 0);
    rig::ProgramRun run =
        Probe({sim->PortPath()}, {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    if (run.exitStatus == 126 || run.exitStatus == 127)
        GTEST_SKIP() << "the user nobody cannot run the built kyt_probe here: " << run.output;
    EXPECT_EQ(run.exitStatus, kNotFound);
    const std::string block = BlockOf(run.output, sim->PortPath());
    EXPECT_EQ(block.rfind(sim->PortPath() + "\n  denied:    permission denied (group ", 0), 0u) << run.output;
    EXPECT_NE(block.find(", mode crw-------)\n"
                         "  fix:       add your user to the port's group, dialout for serial ports "
                         "(sudo usermod -aG dialout $USER), then log in again\n"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(sim->Counts().fromHost, 0u);
}

// The line hangs up in the middle of the questions (an adapter pulled): the
// probe says what it had found and what failed, and goes on.
TEST(Probe, PortThatHangsUpMidProbe)
{
    auto sim = SimWith(kytsim::Model::KYT7710P_V3, 9600, 0);
    ASSERT_TRUE(sim);
    rig::LineRelay relay;
    // After the detection's answer, the host's next frame finds the line gone.
    ASSERT_TRUE(relay.Start(sim->PortPath(), 1, [&relay] { relay.HangUp(); }));
    auto next = SimWith(kytsim::Model::KYT4460P, 9600, 0);
    ASSERT_TRUE(next);

    rig::ProgramRun run = Probe({relay.HostPath(), next->PortPath()});
    EXPECT_TRUE(relay.ActionRan());
    EXPECT_EQ(run.exitStatus, kFound) << run.output;
    const std::string block = BlockOf(run.output, relay.HostPath());
    EXPECT_EQ(block.rfind(relay.HostPath() + "\n  reader:    model unknown, 3 slots, found at 9600 bit/s\n"
                                             "  lost:      KYT_Control failed (",
                          0),
              0u)
        << run.output;
    EXPECT_NE(block.find("): the port vanished\n"), std::string::npos) << run.output;
    EXPECT_NE(BlockOf(run.output, next->PortPath()).find("  reader:    KYT4460P, 3 slots"), std::string::npos)
        << run.output;
}

TEST(Probe, ReaderConfEntryAndCommandLine)
{
    auto sim = SimWith(kytsim::Model::KYT4460P, 19200, 0);
    ASSERT_TRUE(sim);
    rig::PtyLine empty;
    ASSERT_TRUE(rig::OpenPtyLine(&empty));
    const std::string port = sim->PortPath();
    const struct {
        std::vector<std::string> args;
        int exitStatus;
        std::string output; // standard output and standard error
    } cases[] = {
        {{"--reader-conf", "--libpath", "/opt/ifdkyt.so", port},
         kFound,
         "# KYT4460P reader with 3 slots on " + port +
             ", found by kyt_probe.\n"
             "# Save as a file in /etc/reader.conf.d/ and restart pcscd; give each\n"
             "# further reader another FRIENDLYNAME.\n"
             "# " +
             port +
             " has no stable name under /dev/serial: it may change at the next boot.\n"
             "FRIENDLYNAME \"KYT4460P\"\n"
             "DEVICENAME   " +
             port +
             "\n"
             "LIBPATH      /opt/ifdkyt.so\n"
             "CHANNELID    1\n"
             "kyt_probe: note: /opt/ifdkyt.so is not installed (the libifdkyt package holds it)\n"},
        {{"--reader-conf", empty.slavePath},
         kNotFound,
         "kyt_probe: " + empty.slavePath + ": no KYT reader answered (status 0x00000005)\n"},
        {{"--reader-conf", "/nonexistent/port"}, kNotFound, "kyt_probe: /nonexistent/port: no such port\n"},
        {{"--reader-conf"}, kUsage, "kyt_probe: --reader-conf takes exactly one port\nTry kyt_probe --help.\n"},
        {{"--reader-conf", port, port},
         kUsage,
         "kyt_probe: --reader-conf takes exactly one port\nTry kyt_probe --help.\n"},
        {{"--speed", port}, kUsage, "kyt_probe: unknown option --speed\nTry kyt_probe --help.\n"},
        {{port, "--libpath"}, kUsage, "kyt_probe: --libpath needs the handler's file\nTry kyt_probe --help.\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args.back());
        rig::ProgramRun run = Probe(c.args);
        EXPECT_EQ(run.exitStatus, c.exitStatus);
        EXPECT_EQ(run.output, c.output);
    }
    rig::ClosePtyLine(&empty);
}

} // namespace
