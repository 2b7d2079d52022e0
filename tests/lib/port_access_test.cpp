// The port taken by one program at a time, and the driver settings the open
// asks for: a second open meets EBUSY with nothing sent, another user's
// open(2) is refused while the port is held, the low-latency flag is set
// and put back (seen through a preloaded stand-in for the driver), and the
// output is drained before each speed change.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "device.h"
#include "program_run.h"
#include "reader_rig.h"
#include "temp_files.h"

namespace {

constexpr uid_t kNobody = 65534;

int ListedReaders()
{
    pthread_mutex_lock(&g_pDeviceListLock);
    int count = 0;
    for (DeviceNode *node = g_pDeviceList; node != nullptr; node = node->next)
        count++;
    pthread_mutex_unlock(&g_pDeviceListLock);
    return count;
}

TEST(PortAccess, SecondOpenIsRefusedWithNothingSentWhileTheFirstWorksOn)
{
    auto sim = rig::StartSim();
    ASSERT_TRUE(sim);
    ReaderHandle first = rig::Open(*sim);
    ASSERT_NE(first, nullptr);
    const uint64_t sent = sim->Counts().fromHost;
    const int descriptors = rig::OpenDescriptorCount();

    const std::wstring wide(sim->PortPath().begin(), sim->PortPath().end());
    ReaderHandle second = nullptr;
    EXPECT_EQ(KYT_OpenA(sim->PortPath().c_str(), &second), static_cast<KYT_ULONG>(EBUSY));
    EXPECT_EQ(KYT_OpenW(wide.c_str(), &second), static_cast<KYT_ULONG>(EBUSY));
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(sim->Counts().fromHost, sent);
    EXPECT_EQ(ListedReaders(), 1);
    EXPECT_EQ(rig::OpenDescriptorCount(), descriptors);

    sim->InsertCard(0, rig::EchoCard());
    KYT_STATUS status = 1;
    rig::PowerOn(first, 0, &status);
    EXPECT_EQ(status, KYT_SUCCESS);
    EXPECT_EQ(rig::Exchange(first, 0, rig::Hex("00 B0 00 00 02"), &status), rig::Hex("00 B0 00 00 02 90 00"));
    EXPECT_EQ(status, KYT_SUCCESS);
    EXPECT_EQ(KYT_Close(first), KYT_SUCCESS);

    // Released at the close: the next open is an ordinary one.
    second = rig::Open(*sim);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(KYT_Close(second), KYT_SUCCESS);
}

// The errno of open(2) on `path` by the user nobody, in a child process.
int OpenErrorAsNobody(const std::string &path)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (setgid(kNobody) != 0 || setuid(kNobody) != 0)
            _exit(200);
        int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        _exit(fd >= 0 ? 0 : errno);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// Root passes the tty's exclusive flag; everyone else is kept out by it,
// and only while the port is held: on a pseudo-terminal the flag would
// outlive the descriptor if the close did not clear it.
TEST(PortAccess, AnotherUsersOpenIsRefusedWhileHeldAndNotAfter)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to open the port as another user";
    auto sim = rig::StartSim();
    ASSERT_TRUE(sim);
    ASSERT_EQ(chmod(sim->PortPath().c_str(), 0666), 0);
    ASSERT_EQ(OpenErrorAsNobody(sim->PortPath()), 0) << "the port is not open to other users at all";

    ReaderHandle handle = rig::Open(*sim);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(OpenErrorAsNobody(sim->PortPath()), EBUSY);
    EXPECT_EQ(KYT_Close(handle), KYT_SUCCESS);
    EXPECT_EQ(OpenErrorAsNobody(sim->PortPath()), 0);
}

// A program that the application starts while the reader is open must not
// inherit the port: the lock belongs to the open descriptor, and an
// application that ends without KYT_Close (a crash) would leave it held for
// as long as that program runs.
TEST(PortAccess, AProgramStartedMeanwhileDoesNotKeepThePort)
{
    auto sim = rig::StartSim();
    ASSERT_TRUE(sim);
    int started[2];
    ASSERT_EQ(pipe(started), 0);
    pid_t application = fork();
    if (application == 0) {
        ReaderHandle handle = nullptr;
        if (KYT_OpenA(sim->PortPath().c_str(), &handle) != KYT_SUCCESS)
            _exit(1);
        // Told once the program runs: its exec closes this pipe's write end.
        int execed[2];
        if (pipe2(execed, O_CLOEXEC) != 0)
            _exit(1);
        pid_t program = fork();
        if (program == 0) {
            execl("/bin/sleep", "sleep", "60", static_cast<char *>(nullptr));
            _exit(127);
        }
        close(execed[1]);
        char byte;
        while (read(execed[0], &byte, 1) > 0) {
        }
        ssize_t told = write(started[1], &program, sizeof program);
        _exit(told == sizeof program ? 0 : 1); // without KYT_Close
    }
    ASSERT_GT(application, 0);
    close(started[1]);
    pid_t program = -1;
    ASSERT_EQ(read(started[0], &program, sizeof program), static_cast<ssize_t>(sizeof program));
    close(started[0]);
    int status = -1;
    ASSERT_EQ(waitpid(application, &status, 0), application);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    // The program's exec gives the port back a moment after the handshake
    // (the kernel finishes closing descriptors on its way back to the
    // program); inherited, it would stay held for the program's minute.
    ReaderHandle again = nullptr;
    KYT_STATUS reopened = EBUSY;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (reopened == EBUSY && std::chrono::steady_clock::now() < deadline) {
        reopened = KYT_OpenA(sim->PortPath().c_str(), &again);
        if (reopened == EBUSY)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(reopened, KYT_SUCCESS);
    if (again != nullptr) {
        EXPECT_EQ(KYT_Close(again), KYT_SUCCESS);
    }
    kill(program, SIGKILL);
}

// ---- Through the stand-in for a USB-serial driver --------------------------

class ShimmedKytTest : public ::testing::Test {
protected:
    void SetUp() override
    {
#ifdef KYT_TEST_EMULATED
        GTEST_SKIP() << "the emulator does not hand LD_PRELOAD to the emulated program";
#endif
        ASSERT_TRUE(folder_.Made());
        log_ = folder_.Write("shim.log", "");
    }

    // kyt_test opens the reader and leaves at once; the events the driver
    // saw, one a line.
    std::vector<std::string> Run(const std::string &port, const char *mode, bool expectOpen)
    {
        std::string asan = getenv("ASAN_OPTIONS") != nullptr ? getenv("ASAN_OPTIONS") : "";
        // The sanitizer's run time must come first unless told otherwise.
        asan += (asan.empty() ? "" : ":") + std::string("verify_asan_link_order=0");
        rig::ProgramRun run = rig::RunProgram({KYT_TEST_BINARY, port}, "0\n",
                                              {std::string("LD_PRELOAD=") + KYT_SERIAL_SHIM, "KYT_SHIM_LOG=" + log_,
                                               std::string("KYT_SHIM_SERIAL=") + mode, "ASAN_OPTIONS=" + asan});
        EXPECT_EQ(run.exitStatus, 0) << run.output;
        EXPECT_EQ(run.output.find("KYT_Open: OK") != std::string::npos, expectOpen) << run.output;
        std::ifstream file(log_);
        std::vector<std::string> events;
        for (std::string line; std::getline(file, line);)
            events.push_back(line);
        return events;
    }

    rig::TempFolder folder_{"kyt_shim_log"};
    std::string log_;
};

std::vector<std::string> Only(const std::vector<std::string> &events, const std::string &prefix)
{
    std::vector<std::string> kept;
    for (const std::string &event : events) {
        if (event.compare(0, prefix.size(), prefix) == 0)
            kept.push_back(event);
    }
    return kept;
}

TEST_F(ShimmedKytTest, LowLatencyIsAskedForAndPutBack)
{
    using Events = std::vector<std::string>;
    const struct {
        const char *mode;
        bool readerAnswers;
        Events sets; // what reached TIOCSSERIAL, in order
    } cases[] = {
        {"none", true, {}}, // no serial ioctls: nothing is asked, nothing fails
        {"off", true, {"set-serial low-latency=1", "set-serial low-latency=0"}},
        {"on", true, {}},                               // already low: nothing to do or put back
        {"refuse", true, {"set-serial low-latency=1"}}, // refused: the open goes on
        {"off", false, {"set-serial low-latency=1", "set-serial low-latency=0"}}, // a failed open too
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.mode) + (c.readerAnswers ? "" : ", silent reader"));
        auto sim = rig::StartSim();
        ASSERT_TRUE(sim);
        if (!c.readerAnswers) {
            kytsim::Faults faults;
            faults.dropAcks = 1000;
            sim->InjectFaults(faults);
        }
        std::ofstream(log_, std::ios::trunc).close();
        Events events = Run(sim->PortPath(), c.mode, c.readerAnswers);
        EXPECT_EQ(Only(events, "set-serial"), c.sets);
    }
}

// Each speed change of the detection scan waits for the output to drain.
TEST_F(ShimmedKytTest, OutputDrainsBeforeEachSpeedChange)
{
    kytsim::Config config;
    config.speed = 57600;
    auto sim = rig::StartSim(config);
    ASSERT_TRUE(sim);
    std::vector<std::string> events = Run(sim->PortPath(), "none", true);
    EXPECT_EQ(Only(events, "speed"), (std::vector<std::string>{"speed 19200", "speed 38400", "speed 57600"}));
    for (size_t i = 0; i < events.size(); i++) {
        if (events[i].compare(0, 5, "speed") == 0) {
            EXPECT_TRUE(i > 0 && events[i - 1] == "drain") << events[i] << " came without a drain first";
        }
    }
}

} // namespace
