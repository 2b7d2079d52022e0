// The line: a thread at the master end of a pty pair reads what the host
// writes, throws away bytes sent at the wrong line speed and hands the rest
// to the frame link; everything the reader sends goes out through
// SendToHost().  With pacing on, both directions take as long as a real line.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include "reader_state.h"

namespace kytsim {

namespace {

// A frame that has stopped arriving for this long is given up.
constexpr std::chrono::milliseconds kPartialFrameTimeout{100};
// A host that reads nothing for this long loses what the reader writes.
constexpr std::chrono::milliseconds kWriteStallTimeout{1000};
// On a paced line the reader writes to the host in pieces of at most this
// many bytes, as a UART hands over its FIFO.
constexpr size_t kPacePiece = 16;
// A byte on an 8N1 line is a start bit, eight data bits and a stop bit.
constexpr uint64_t kBitsPerByte = 10;

struct SpeedName {
    speed_t constant;
    uint32_t bitsPerSecond;
};

constexpr SpeedName kSpeedNames[] = {
    {B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},       {B150, 150},         {B200, 200},
    {B300, 300},       {B600, 600},       {B1200, 1200},     {B1800, 1800},     {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},     {B19200, 19200},   {B38400, 38400},   {B57600, 57600},   {B115200, 115200},   {B230400, 230400},
    {B460800, 460800}, {B500000, 500000}, {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000},
};

// The line speed of a termios speed value.  Newer C libraries may hand out
// plain bit rates; those are larger than every B constant and taken as they are.
uint32_t BitsPerSecond(speed_t speed)
{
    if (speed == B0)
        return 0;
    for (const SpeedName &name : kSpeedNames) {
        if (name.constant == speed)
            return name.bitsPerSecond;
    }
    return speed > 0x100F ? static_cast<uint32_t>(speed) : 0;
}

// Milliseconds from now until `when`, rounded up so that a wait for it
// never wakes early; 0 when it has come.
int MillisecondsUntil(Clock::time_point when)
{
    auto left = std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now()).count();
    return static_cast<int>(std::clamp<decltype(left)>(left, 0, 24 * 3600 * 1000));
}

// The speed the host has set on its end of the line, 0 when unknown.
uint32_t HostSpeed(int master)
{
    termios host{};
    if (tcgetattr(master, &host) != 0)
        return 0;
    // An input speed of 0 means "the same as the output speed".
    speed_t in = cfgetispeed(&host);
    return BitsPerSecond(in == B0 ? cfgetospeed(&host) : in);
}

} // namespace

// Time that `bytes` bytes take on the line at `bitsPerSecond`, computed
// for the whole count so that long frames gather no rounding error.
Clock::duration LineTime(size_t bytes, uint32_t bitsPerSecond)
{
    if (bitsPerSecond == 0)
        return Clock::duration::zero();
    uint64_t ns = static_cast<uint64_t>(bytes) * kBitsPerByte * 1000000000ULL / bitsPerSecond;
    return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(ns));
}

bool SimReader::State::Start(std::string *error)
{
    if (running) {
        if (error)
            *error = "already running";
        return false;
    }
    if (!OpenPty(error))
        return false;
    {
        std::lock_guard<std::mutex> guard(mutex);
        stopping = false;
    }
    rx.clear();
    stray.clear();
    running = true;
    thread = std::thread([this] { Run(); });
    return true;
}

void SimReader::State::Stop()
{
    if (!running)
        return;
    {
        std::lock_guard<std::mutex> guard(mutex);
        stopping = true;
    }
    wake.notify_all();
    uint8_t byte = 1;
    ssize_t ignored = write(wakePipe[1], &byte, 1);
    (void)ignored;
    thread.join();
    running = false;
    CloseAll();
}

// The pty pair in raw mode, the master end non-blocking, and the pipe that
// wakes the thread to stop.
bool SimReader::State::OpenPty(std::string *error)
{
    auto fail = [&](const char *what) {
        if (error)
            *error = std::string(what) + ": " + std::strerror(errno);
        CloseAll();
        return false;
    };
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0)
        return fail("posix_openpt");
    if (grantpt(master) != 0)
        return fail("grantpt");
    if (unlockpt(master) != 0)
        return fail("unlockpt");
    char name[256];
    if (ptsname_r(master, name, sizeof name) != 0)
        return fail("ptsname");
    portPath = name;
    // Keeping a slave descriptor of our own means the master never sees a
    // hangup between host opens, and the line settings persist across them.
    slave = open(name, O_RDWR | O_NOCTTY);
    if (slave < 0)
        return fail("open slave");
    termios raw{};
    if (tcgetattr(slave, &raw) != 0)
        return fail("tcgetattr");
    cfmakeraw(&raw);
    raw.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&raw, B9600);
    cfsetospeed(&raw, B9600);
    if (tcsetattr(slave, TCSANOW, &raw) != 0)
        return fail("tcsetattr");
    if (fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK) != 0)
        return fail("fcntl");
    if (pipe(wakePipe) != 0)
        return fail("pipe");
    return true;
}

void SimReader::State::CloseAll()
{
    for (int *fd : {&master, &slave, &wakePipe[0], &wakePipe[1]}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

void SimReader::State::Run()
{
    // Paced writes and delays wait for absolute times; the default 50 us of
    // timer slack would make every one of them late by that much.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    while (!stopping) {
        SendDelayedResponse();
        FlushAdapter();
        int timeout = delayed ? MillisecondsUntil(delayed->due) : -1;
        if (std::optional<Clock::time_point> due = adapter.Deadline()) {
            int held = MillisecondsUntil(*due);
            timeout = timeout < 0 ? held : std::min(timeout, held);
        }
        if (!rx.empty()) {
            auto waited = Clock::now() - lastRx;
            if (waited >= kPartialFrameTimeout) {
                stray.insert(stray.end(), rx.begin(), rx.end());
                rx.clear();
                FlushStray(Clock::now());
                continue;
            }
            int partial = MillisecondsUntil(lastRx + kPartialFrameTimeout);
            timeout = timeout < 0 ? partial : std::min(timeout, partial);
        }
        pollfd fds[2] = {{master, POLLIN, 0}, {wakePipe[0], POLLIN, 0}};
        int ready = poll(fds, 2, timeout);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents & POLLIN)
            return;
        if (fds[0].revents & POLLIN)
            ReadFromHost();
        else if (fds[0].revents & (POLLHUP | POLLERR))
            Pause(std::chrono::milliseconds(10)); // no host on the line; wait for one
    }
}

void SimReader::State::ReadFromHost()
{
    uint8_t buffer[4096];
    ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0)
        return; // EAGAIN, or EIO while no host has the port open
    hostBytes += static_cast<uint64_t>(n);
    Clock::time_point when = Clock::now();
    uint32_t readerSpeed;
    bool silent;
    {
        std::lock_guard<std::mutex> guard(mutex);
        readerSpeed = speed;
        silent = SilentNow();
    }
    if (silent || HostSpeed(master) != readerSpeed) {
        // At the wrong speed the reader sees only noise, and a silent reader
        // (switched off, or its cable out) nothing at all; whatever frame was
        // being assembled is spoiled as well.
        stray.insert(stray.end(), rx.begin(), rx.end());
        rx.clear();
        stray.insert(stray.end(), buffer, buffer + n);
        FlushStray(when);
        return;
    }
    Deliver(buffer, static_cast<size_t>(n), when);
}

uint32_t SimReader::State::PacedSpeed()
{
    std::lock_guard<std::mutex> guard(mutex);
    return config.pace ? speed : 0;
}

bool SimReader::State::SilentNow() const
{
    return silentUntil && Clock::now() < *silentUntil;
}

// Sends bytes to the host.  Unpaced they go out as one piece; paced, each
// piece is written when its last byte has crossed the line, counted from when
// the line is free (the reader's earlier bytes may still be on their way).
// A silent reader sends nothing: false, as for a line that took nothing.
bool SimReader::State::SendToHost(const Bytes &bytes)
{
    {
        std::lock_guard<std::mutex> guard(mutex);
        if (SilentNow())
            return false;
    }
    uint32_t bitsPerSecond = PacedSpeed();
    if (bitsPerSecond == 0)
        return PassOn(bytes.data(), bytes.size());
    Clock::time_point start = std::max(Clock::now(), txLineFree);
    txLineFree = start + LineTime(bytes.size(), bitsPerSecond);
    for (size_t done = 0; done < bytes.size();) {
        size_t size = std::min(kPacePiece, bytes.size() - done);
        if (!WaitUntil(start + LineTime(done + size, bitsPerSecond)))
            return false;
        if (!PassOn(bytes.data() + done, size))
            return false;
        done += size;
    }
    return true;
}

bool SimReader::State::PassOn(const uint8_t *bytes, size_t count)
{
    if (!adapter.Active())
        return WriteToHost(bytes, count);
    Bytes out = adapter.Take(bytes, count, Clock::now());
    return out.empty() || WriteToHost(out.data(), out.size());
}

void SimReader::State::FlushAdapter()
{
    Bytes due = adapter.Due(Clock::now());
    if (!due.empty())
        WriteToHost(due.data(), due.size());
}

// Writes bytes to the host as one piece.  A host that stops reading for a
// long time loses the rest, as it would on a real line.
bool SimReader::State::WriteToHost(const uint8_t *bytes, size_t count)
{
    size_t done = 0;
    auto stalledSince = Clock::now();
    while (done < count) {
        ssize_t n = write(master, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            readerBytes += static_cast<uint64_t>(n);
            stalledSince = Clock::now();
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        if (Clock::now() - stalledSince > kWriteStallTimeout)
            return false;
        pollfd fds[2] = {{master, POLLOUT, 0}, {wakePipe[0], POLLIN, 0}};
        if (poll(fds, 2, 50) < 0 && errno != EINTR)
            return false;
        if (fds[1].revents & POLLIN)
            return false; // stopping
    }
    return true;
}

// Waits for an absolute time, so that a schedule of many waits does not
// drift by the lateness of each one.  False when the simulator stops.
// An adapter's timer that runs out meanwhile releases its bytes on time.
bool SimReader::State::WaitUntil(Clock::time_point deadline)
{
    for (;;) {
        std::optional<Clock::time_point> due = adapter.Deadline();
        bool adapterFirst = due && *due <= deadline;
        Clock::time_point until = adapterFirst ? *due : deadline;
        if (Clock::now() < until) {
            std::unique_lock<std::mutex> lock(mutex);
            if (wake.wait_until(lock, until, [this] { return stopping.load(); }))
                return false;
        }
        if (stopping)
            return false;
        if (!adapterFirst)
            return true;
        FlushAdapter();
    }
}

bool SimReader::State::Pause(std::chrono::milliseconds delay)
{
    if (delay.count() <= 0)
        return true;
    return WaitUntil(Clock::now() + delay);
}

} // namespace kytsim
