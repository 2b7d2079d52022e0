// The serial port layer on a real pseudo-terminal: the layer opens the slave
// side, the test plays the far end of the line on the master.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "comport.h"
#include "port_speed.h"
#include "reader_rig.h"
#include "signal_storm.h"
#include "temp_files.h"

// Counts the layer's tcsetattr calls, then hands each to the C library.  The
// only way to see that a call which must leave the port alone made none.
static int g_tcsetattrCalls = 0;
extern "C" int tcsetattr(int fd, int action, const struct termios *settings)
{
    using Real = int (*)(int, int, const struct termios *);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tcsetattr"));
    g_tcsetattrCalls++;
    return real(fd, action, settings);
}

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The line speeds a reader runs at.
const uint32_t kFiveSpeeds[] = {9600, 19200, 38400, 57600, 115200};

class SerialTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        slavePath = ptsname(master);
    }
    void TearDown() override
    {
        if (port >= 0)
            close(port);
        if (master >= 0)
            close(master);
    }

    int Open(uint32_t speed = 9600, char parity = 'N', char flow = 'N')
    {
        port = ComPort_OpenA(slavePath.c_str(), speed, 8, parity, 1, flow);
        return port;
    }
    struct termios Settings() const
    {
        struct termios settings {};
        EXPECT_EQ(tcgetattr(port, &settings), 0);
        return settings;
    }
    // The line really runs at `bps`, as the kernel tells it in bit/s: the
    // library's own speed table cannot vouch for itself.
    void ExpectKernelSpeed(uint32_t bps) const
    {
        uint32_t output = 0, input = 0;
        if (!rig::KernelSpeeds(port, &output, &input))
            return; // no termios2 here; the speeds read back above still hold
        EXPECT_EQ(output, bps);
        EXPECT_EQ(input, bps);
    }
    speed_t InputSpeed() const
    {
        struct termios settings = Settings();
        return cfgetispeed(&settings);
    }
    // Blocks until the slave has `count` input bytes queued; the bound only
    // keeps a broken line from hanging the test.
    void AwaitQueued(int count) const
    {
        int queued = 0;
        Clock::time_point giveUp = Clock::now() + std::chrono::seconds(30);
        while (Clock::now() < giveUp) {
            ASSERT_EQ(ioctl(port, FIONREAD, &queued), 0);
            if (queued >= count)
                break;
            usleep(1000);
        }
        ASSERT_EQ(queued, count);
    }
    void SendFromReader(const std::vector<uint8_t> &bytes) const
    {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    int master = -1;
    int port = -1;
    std::string slavePath;
};

bool SameSettings(const struct termios &a, const struct termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
           memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b);
}

TEST_F(SerialTest, OpenPutsTheLineIntoRawMode)
{
    ASSERT_GE(Open(), 0);
    struct termios s = Settings();
    EXPECT_EQ(s.c_iflag, 0u);
    EXPECT_EQ(s.c_lflag & (ICANON | ECHO | ECHOE | ISIG), 0u);
    EXPECT_EQ(s.c_oflag & OPOST, 0u);
    EXPECT_EQ(s.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(s.c_cc[VMIN], 0);
    EXPECT_EQ(s.c_cc[VTIME], 0);
    EXPECT_EQ(fcntl(port, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_TRUE(ComPort_Close(port));
    EXPECT_FALSE(ComPort_Close(port));
    EXPECT_EQ(errno, EBADF);
    port = -1;
}

TEST_F(SerialTest, EachOfTheFiveSpeedsIsSetAndReadBack)
{
    std::set<speed_t> seen;
    for (uint32_t speed : kFiveSpeeds) {
        SCOPED_TRACE(speed);
        ASSERT_GE(Open(speed), 0);
        uint32_t bps = 0;
        EXPECT_TRUE(ComPort_GetBaudRate(port, &bps));
        EXPECT_EQ(bps, speed);
        ExpectKernelSpeed(speed);
        seen.insert(InputSpeed());
        close(port);
    }
    EXPECT_EQ(seen.size(), std::size(kFiveSpeeds)) << "each speed is a speed of its own on the port";
    ASSERT_GE(Open(), 0);
    for (uint32_t speed : kFiveSpeeds) {
        SCOPED_TRACE(speed);
        EXPECT_TRUE(ComPort_SetBaudRate(port, speed));
        struct termios s = Settings();
        EXPECT_EQ(cfgetospeed(&s), cfgetispeed(&s));
        uint32_t bps = 0;
        EXPECT_TRUE(ComPort_GetBaudRate(port, &bps));
        EXPECT_EQ(bps, speed);
        ExpectKernelSpeed(speed);
        EXPECT_EQ(s.c_lflag & ICANON, 0u) << "only the speed changes";
    }
}

TEST_F(SerialTest, SpeedsOutsideTheFiveAreRefused)
{
    int before = rig::OpenDescriptorCount();
    for (uint32_t bps : {128000u, 1200u, 0u})
        EXPECT_EQ(Open(bps), -1) << bps;
    EXPECT_EQ(rig::OpenDescriptorCount(), before);

    ASSERT_GE(Open(19200), 0);
    struct termios before19200 = Settings();
    EXPECT_FALSE(ComPort_SetBaudRate(port, 128000));
    EXPECT_TRUE(SameSettings(Settings(), before19200));
}

TEST_F(SerialTest, RejectedSettingsLeaveThePortAlone)
{
    struct Bad {
        uint8_t dataBits;
        char parity;
        uint8_t stopBits;
        char flow;
    } cases[] = {{9, 'N', 1, 'N'}, {4, 'N', 1, 'N'}, {8, 'N', 0, 'N'},
                 {8, 'N', 3, 'N'}, {8, 'M', 1, 'N'}, {8, 'N', 1, 'X'}};
    ASSERT_GE(Open(), 0);
    struct termios before = Settings();
    for (const Bad &bad : cases) {
        SCOPED_TRACE(testing::Message() << int(bad.dataBits) << bad.parity << int(bad.stopBits) << bad.flow);
        int calls = g_tcsetattrCalls;
        // 38400 would show if anything were applied on the way to the refusal.
        EXPECT_FALSE(ComPort_Init(port, 38400, bad.dataBits, bad.parity, bad.stopBits, bad.flow));
        EXPECT_EQ(g_tcsetattrCalls, calls);
        EXPECT_TRUE(SameSettings(Settings(), before));
    }
    EXPECT_EQ(ComPort_OpenA(slavePath.c_str(), 9600, 9, 'N', 1, 'N'), -1);
}

// Character size, parity and stop bits as the serial layer builds them, over
// settings with every flag set: what is cleared was cleared on purpose.  The
// library runs its readers without flow control, so that is what every case
// asks for (and hardware flow control, set at the start, must go).
TEST(SerialSettings, BuildSettingsFlagCombinations)
{
    struct Case {
        uint8_t dataBits;
        char parity;
        uint8_t stopBits;
        tcflag_t iflag;
        tcflag_t cflag; // within CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS
    } cases[] = {
        // No parity leaves PARODD as it was (set in the starting flags).
        {8, 'N', 1, 0, CS8 | PARODD},
        {7, 'E', 1, INPCK | ISTRIP, CS7 | PARENB},
        {7, 'e', 1, INPCK | ISTRIP, CS7 | PARENB},
        {5, 'N', 2, 0, CS5 | PARODD | CSTOPB},
        {6, 'o', 1, INPCK | ISTRIP, CS6 | PARENB | PARODD},
    };
    const tcflag_t cmask = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS;
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.dataBits) << c.parity << int(c.stopBits));
        struct termios s;
        memset(&s, 0xFF, sizeof s);
        s.c_cflag = CS8 | PARODD | CRTSCTS;
        ASSERT_TRUE(ComPort_BuildSettings(&s, 57600, c.dataBits, c.parity, c.stopBits, 'N'));
        EXPECT_EQ(s.c_iflag, c.iflag);
        EXPECT_EQ(s.c_cflag & cmask, c.cflag);
        EXPECT_EQ(s.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
        EXPECT_EQ(s.c_lflag & (ICANON | ECHO | ECHOE | ISIG), 0u);
        EXPECT_NE(s.c_lflag & IEXTEN, 0u) << "other local flags stay";
        EXPECT_EQ(s.c_oflag, static_cast<tcflag_t>(~OPOST));
        EXPECT_EQ(cfgetispeed(&s), static_cast<speed_t>(B57600));
        EXPECT_EQ(cfgetospeed(&s), static_cast<speed_t>(B57600));
    }
}

TEST_F(SerialTest, ReadWaitsOutItsTimeoutOrReturnsWhatIsWaiting)
{
    ASSERT_GE(Open(), 0);
    uint8_t buffer[16] = {};
    uint32_t count = 99;
    for (uint32_t timeout : {0u, 60u}) {
        Clock::time_point start = Clock::now();
        EXPECT_FALSE(ComPort_Read(port, buffer, sizeof buffer, &count, timeout));
        EXPECT_EQ(count, 0u);
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(timeout));
    }
    SendFromReader({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    AwaitQueued(10);
    ASSERT_TRUE(ComPort_Read(port, buffer, 4, &count, 0));
    ASSERT_EQ(count, 4u);
    EXPECT_EQ(buffer[3], 4);
    // The longest timeout there is must neither be refused nor wait.
    ASSERT_TRUE(ComPort_Read(port, buffer, sizeof buffer, &count, 0xFFFFFFFFu));
    ASSERT_EQ(count, 6u);
    EXPECT_EQ(buffer[5], 10);
}

// The tests that deliver signals to the thread using the port.
class SerialSignalTest : public SerialTest {
protected:
    void SetUp() override
    {
        SerialTest::SetUp();
        if (!rig::kSignalsBetweenThreadsWork)
            GTEST_SKIP() << rig::kSignalsSkipReason;
        ASSERT_GE(Open(), 0);
    }
};

// Signals to the reading thread neither end the wait early nor stretch it:
// it lasts its timeout on the monotonic clock, and bytes that come
// meanwhile are read.  A wait that began its timeout afresh after every
// signal would not end while they keep coming (every 2 ms here, for up to
// 10 s).
TEST_F(SerialSignalTest, SignalsNeitherShortenNorStretchTheReadWait)
{
    uint8_t buffer[4];
    uint32_t count = 9;
    const unsigned handledBefore = rig::SignalStorm::Handled();
    Clock::duration waited;
    {
        rig::SignalStorm storm(pthread_self(), 2ms, 10s);
        Clock::time_point start = Clock::now();
        EXPECT_FALSE(ComPort_Read(port, buffer, sizeof buffer, &count, 300));
        waited = Clock::now() - start;
    }
    EXPECT_EQ(count, 0u);
    EXPECT_GT(rig::SignalStorm::Handled(), handledBefore);
    EXPECT_GE(waited, 300ms);
    EXPECT_LT(waited, 10s) << "the signals stretched the wait";

    {
        rig::SignalStorm storm(pthread_self(), 2ms, 10s);
        std::thread reader([this] {
            std::this_thread::sleep_for(50ms);
            SendFromReader({0x5A});
        });
        EXPECT_TRUE(ComPort_Read(port, buffer, sizeof buffer, &count, 20000));
        reader.join();
    }
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(buffer[0], 0x5A);
}

// A write held up by a full line and interrupted by signals meanwhile still
// puts every byte on the line, once and in order.
TEST_F(SerialSignalTest, SignalsDoNotCutAWriteShort)
{
    std::vector<uint8_t> data(256 * 1024); // far more than a pty holds
    for (size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<uint8_t>(i ^ (i >> 8));

    const unsigned handledBefore = rig::SignalStorm::Handled();
    std::vector<uint8_t> atReader;
    std::thread reader([&] {
        // The far end starts reading only once signals have met the writer,
        // which is blocked by then.
        for (int i = 0; i < 20000 && rig::SignalStorm::Handled() < handledBefore + 20; i++)
            std::this_thread::sleep_for(1ms);
        uint8_t chunk[4096];
        while (atReader.size() < data.size()) {
            struct pollfd p = {master, POLLIN, 0};
            if (poll(&p, 1, 20000) != 1)
                return;
            ssize_t n = read(master, chunk, sizeof chunk);
            if (n <= 0)
                return;
            atReader.insert(atReader.end(), chunk, chunk + n);
        }
    });
    uint32_t written = 0;
    bool complete;
    {
        rig::SignalStorm storm(pthread_self(), 1ms, 60s);
        complete = ComPort_Write(port, data.data(), static_cast<uint32_t>(data.size()), &written);
    }
    reader.join();
    EXPECT_GE(rig::SignalStorm::Handled(), handledBefore + 20);
    EXPECT_TRUE(complete);
    EXPECT_EQ(written, data.size());
    EXPECT_TRUE(atReader == data) << atReader.size() << " bytes arrived";
}

TEST_F(SerialTest, ReadWorksOnDescriptorsBeyondTheSelectLimit)
{
    const int high = FD_SETSIZE + 476;
    struct rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_cur <= static_cast<rlim_t>(high)) {
        if (limit.rlim_max <= static_cast<rlim_t>(high))
            GTEST_SKIP() << "descriptor limit cannot be raised";
        limit.rlim_cur = high + 1;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    }
    ASSERT_GE(Open(), 0);
    ASSERT_EQ(dup2(port, high), high);
    close(port);
    port = high;

    uint8_t buffer[4];
    uint32_t count = 7;
    EXPECT_FALSE(ComPort_Read(port, buffer, sizeof buffer, &count, 20));
    EXPECT_EQ(count, 0u);
    SendFromReader({0x42});
    EXPECT_TRUE(ComPort_Read(port, buffer, sizeof buffer, &count, 20000));
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(buffer[0], 0x42);
}

TEST_F(SerialTest, ReadOnAHungUpLineFailsAtOnce)
{
    ASSERT_GE(Open(), 0);
    close(master); // a pty drops its pending input when the far end goes
    master = -1;
    uint8_t buffer[4];
    uint32_t count = 5;
    Clock::time_point start = Clock::now();
    EXPECT_FALSE(ComPort_Read(port, buffer, sizeof buffer, &count, 30000));
    EXPECT_EQ(count, 0u);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(15)) << "waited for the timeout";
}

TEST(SerialHangUp, BytesSentBeforeTheHangUpAreStillDelivered)
{
    int line[2];
    ASSERT_EQ(pipe(line), 0);
    const uint8_t frame[] = {0x02, 0x00, 0x00, 0x03};
    ASSERT_EQ(write(line[1], frame, sizeof frame), static_cast<ssize_t>(sizeof frame));
    close(line[1]);
    uint8_t buffer[8];
    uint32_t count = 0;
    EXPECT_TRUE(ComPort_Read(line[0], buffer, sizeof buffer, &count, 30000));
    EXPECT_EQ(count, sizeof frame);
    Clock::time_point start = Clock::now();
    EXPECT_FALSE(ComPort_Read(line[0], buffer, sizeof buffer, &count, 30000));
    EXPECT_EQ(count, 0u);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(15)) << "waited for the timeout";
    close(line[0]);
}

TEST_F(SerialTest, BytesCrossTheLineUnchangedBothWays)
{
    ASSERT_GE(Open(), 0);
    // Newline, carriage return, XON/XOFF, interrupt and delete characters
    // would all be altered or eaten by a line not in raw mode.
    const std::vector<uint8_t> frame = {0x02, 0x0A, 0x0D, 0x11, 0x13, 0x03, 0x7F, 0xFF, 0x03};
    uint32_t written = 99;
    EXPECT_TRUE(ComPort_Write(port, frame.data(), 0, &written));
    EXPECT_EQ(written, 0u);
    const auto frameSize = static_cast<uint32_t>(frame.size());
    ASSERT_TRUE(ComPort_Write(port, frame.data(), frameSize, &written));
    EXPECT_EQ(written, frame.size());

    std::vector<uint8_t> atReader(frame.size());
    size_t got = 0;
    while (got < frame.size()) {
        struct pollfd p = {master, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 20000), 1);
        ssize_t n = read(master, atReader.data() + got, atReader.size() - got);
        ASSERT_GT(n, 0);
        got += n;
    }
    EXPECT_EQ(atReader, frame);

    SendFromReader(frame);
    AwaitQueued(static_cast<int>(frameSize));
    std::vector<uint8_t> atHost(32);
    uint32_t count = 0;
    ASSERT_TRUE(ComPort_Read(port, atHost.data(), static_cast<uint32_t>(atHost.size()), &count, 0));
    atHost.resize(count);
    EXPECT_EQ(atHost, frame);
}

TEST_F(SerialTest, ClearBufferDiscardsPendingInput)
{
    ASSERT_GE(Open(), 0);
    SendFromReader({0x02, 0x00, 0x00, 0x03});
    AwaitQueued(4);
    EXPECT_TRUE(ComPort_ClearBuffer(port));
    uint8_t buffer[8];
    uint32_t count = 1;
    EXPECT_FALSE(ComPort_Read(port, buffer, sizeof buffer, &count, 50));
    EXPECT_EQ(count, 0u);
}

TEST_F(SerialTest, SetBaudRateToTheCurrentSpeedTouchesNothing)
{
    ASSERT_GE(Open(38400), 0);
    int calls = g_tcsetattrCalls;
    EXPECT_TRUE(ComPort_SetBaudRate(port, 38400));
    EXPECT_EQ(g_tcsetattrCalls, calls);
    EXPECT_TRUE(ComPort_SetBaudRate(port, 9600));
    EXPECT_EQ(g_tcsetattrCalls, calls + 1);
}

TEST_F(SerialTest, PortAtAForeignSpeedIsLeftAlone)
{
    ASSERT_GE(Open(), 0);
    struct termios s = Settings();
    cfsetispeed(&s, B1200);
    cfsetospeed(&s, B1200);
    ASSERT_EQ(tcsetattr(port, TCSANOW, &s), 0);

    uint32_t bps = 12345;
    EXPECT_FALSE(ComPort_GetBaudRate(port, &bps));
    EXPECT_EQ(bps, 0u);
    EXPECT_FALSE(ComPort_SetBaudRate(port, 9600));
    EXPECT_EQ(InputSpeed(), static_cast<speed_t>(B1200));
}

TEST_F(SerialTest, OpenFailuresKeepTheFailingCallsErrno)
{
    EXPECT_EQ(ComPort_OpenA("/nonexistent/ttyKYT0", 9600, 8, 'N', 1, 'N'), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(ComPort_OpenW(L"/nonexistent/ttyKYT0", 9600, 8, 'N', 1, 'N'), -1);
    EXPECT_EQ(errno, ENOENT);
    int before = rig::OpenDescriptorCount();
    EXPECT_EQ(ComPort_OpenA("/dev/null", 9600, 8, 'N', 1, 'N'), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(rig::OpenDescriptorCount(), before);
}

// The port is the pty slave when both descriptors name the same device.
bool IsSlave(int fd, const std::string &slavePath)
{
    struct stat opened, expected;
    return fstat(fd, &opened) == 0 && stat(slavePath.c_str(), &expected) == 0 && opened.st_rdev == expected.st_rdev;
}

TEST_F(SerialTest, OpenWConvertsTheWholeName)
{
    std::wstring ascii(slavePath.begin(), slavePath.end());
    port = ComPort_OpenW(ascii.c_str(), 9600, 8, 'n', 1, 'n');
    ASSERT_GE(port, 0);
    EXPECT_TRUE(IsSlave(port, slavePath));
    ComPort_Close(port);
    port = -1;

    std::string saved = setlocale(LC_CTYPE, nullptr);
    if (setlocale(LC_CTYPE, "C.UTF-8") == nullptr)
        GTEST_SKIP() << "no UTF-8 locale";
    rig::TempFolder folder("kyt-serial");
    ASSERT_TRUE(folder.Made());
    const std::string &dir = folder.Dir();
    // Each of these characters takes two to four bytes in UTF-8.
    std::string link = dir + "/lecteur-\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    std::wstring wideLink(dir.begin(), dir.end());
    wideLink += L"/lecteur-\u00E9\u20AC\U0001F600";
    ASSERT_EQ(symlink(slavePath.c_str(), link.c_str()), 0);

    port = ComPort_OpenW(wideLink.c_str(), 9600, 8, 'N', 1, 'N');
    EXPECT_GE(port, 0);
    EXPECT_TRUE(IsSlave(port, slavePath));

    unlink(link.c_str());
    setlocale(LC_CTYPE, saved.c_str());
    // In the C locale the same name has no multibyte form.
    EXPECT_EQ(ComPort_OpenW(wideLink.c_str(), 9600, 8, 'N', 1, 'N'), -1);
    EXPECT_EQ(errno, EILSEQ);
}

} // namespace
