// POSIX serial port in raw mode.  The layer keeps no state: the port is the
// descriptor, and every failure leaves errno as the failing system call set it.
#include "comport.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>

namespace {

// The five line speeds the port can run at.  Every mapping in this file goes
// through this table.
struct SpeedEntry {
    uint32_t baudRate;
    speed_t speed;
};

constexpr SpeedEntry SPEED_TABLE[] = {
    {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
};

constexpr char PARITY_NONE = 'N';
constexpr char PARITY_ODD = 'O';
constexpr char PARITY_EVEN = 'E';

constexpr char FLOW_NONE = 'N';
constexpr char FLOW_SOFTWARE = 'S';
constexpr char FLOW_HARDWARE = 'H';

// Start and stop characters of software flow control.
constexpr cc_t FLOW_XON = 0x11;  // DC1
constexpr cc_t FLOW_XOFF = 0x13; // DC3

constexpr uint32_t MS_PER_SECOND = 1000;
constexpr long NS_PER_MS = 1000000;
constexpr long NS_PER_SECOND = 1000000000;

// Letters of the line settings are accepted in either case.
char UpperLetter(char letter)
{
    return static_cast<char>(toupper(static_cast<unsigned char>(letter)));
}

// Closing or freeing on a failure path must not hide the errno of the call
// that actually failed.
void CloseKeepingErrno(int fd)
{
    int saved = errno;
    close(fd);
    errno = saved;
}

void FreeKeepingErrno(void *buffer)
{
    int saved = errno;
    free(buffer);
    errno = saved;
}

bool SetCharacterSize(struct termios *settings, uint8_t dataBits)
{
    settings->c_cflag &= ~CSIZE;
    switch (dataBits) {
    case 5:
        settings->c_cflag |= CS5;
        return true;
    case 6:
        settings->c_cflag |= CS6;
        return true;
    case 7:
        settings->c_cflag |= CS7;
        return true;
    case 8:
        settings->c_cflag |= CS8;
        return true;
    default:
        return false;
    }
}

// With parity on, the reader's parity is checked and the parity bit stripped
// from each received character.  Expects the input flags already cleared.
bool SetParity(struct termios *settings, char parity)
{
    switch (UpperLetter(parity)) {
    case PARITY_NONE:
        settings->c_cflag &= ~PARENB;
        return true;
    case PARITY_ODD:
        settings->c_cflag |= PARENB | PARODD;
        settings->c_iflag = INPCK | ISTRIP;
        return true;
    case PARITY_EVEN:
        settings->c_cflag |= PARENB;
        settings->c_cflag &= ~PARODD;
        settings->c_iflag = INPCK | ISTRIP;
        return true;
    default:
        return false;
    }
}

bool SetStopBits(struct termios *settings, uint8_t stopBits)
{
    switch (stopBits) {
    case 1:
        settings->c_cflag &= ~CSTOPB;
        return true;
    case 2:
        settings->c_cflag |= CSTOPB;
        return true;
    default:
        return false;
    }
}

bool SetFlowControl(struct termios *settings, char flowControl)
{
    switch (UpperLetter(flowControl)) {
    case FLOW_NONE:
        settings->c_cflag &= ~CRTSCTS;
        return true;
    case FLOW_SOFTWARE:
        settings->c_iflag |= IXON | IXOFF | IXANY;
        settings->c_cc[VSTART] = FLOW_XON;
        settings->c_cc[VSTOP] = FLOW_XOFF;
        settings->c_cflag &= ~CRTSCTS;
        return true;
    case FLOW_HARDWARE:
        settings->c_cflag |= CRTSCTS;
        return true;
    default:
        return false;
    }
}

// No line editing, echo or signals; no output processing; a read returns at
// once with whatever has arrived, the wait being done by ComPort_Read.
void SetRawMode(struct termios *settings)
{
    settings->c_lflag &= ~(ICANON | ECHO | ECHOE | ISIG);
    settings->c_cflag |= CLOCAL | CREAD;
    settings->c_oflag &= ~OPOST;
    settings->c_cc[VTIME] = 0;
    settings->c_cc[VMIN] = 0;
}

// The monotonic clock `timeoutMs` from now.
struct timespec DeadlineAfter(uint32_t timeoutMs)
{
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(timeoutMs / MS_PER_SECOND);
    deadline.tv_nsec += static_cast<long>(timeoutMs % MS_PER_SECOND) * NS_PER_MS;
    if (deadline.tv_nsec >= NS_PER_SECOND) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= NS_PER_SECOND;
    }
    return deadline;
}

// What is left until the deadline, 0 once it has passed.
struct timespec TimeLeft(const struct timespec &deadline)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    struct timespec left = {0, 0};
    if (now.tv_sec > deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec))
        return left;
    left.tv_sec = deadline.tv_sec - now.tv_sec;
    left.tv_nsec = deadline.tv_nsec - now.tv_nsec;
    if (left.tv_nsec < 0) {
        left.tv_sec -= 1;
        left.tv_nsec += NS_PER_SECOND;
    }
    return left;
}

// Waits until the port has something to read, an error or a hang-up, for at
// most `timeoutMs`; false when the time ran out or the wait failed.  The
// wait is ppoll on this one descriptor: unlike a select set it works for any
// descriptor number, and its timespec holds the full 32-bit millisecond
// range without the overflow poll's int argument would suffer above about
// 24.8 days.  A signal that interrupts the wait does not end it: the wait
// goes on for the time that is left on the monotonic clock.  Ending it would
// read as a missing acknowledge or response, and the frame link would send
// a command again that the reader may already be running.
bool WaitForInput(struct pollfd *port, uint32_t timeoutMs)
{
    const struct timespec deadline = DeadlineAfter(timeoutMs);
    struct timespec timeout;
    timeout.tv_sec = static_cast<time_t>(timeoutMs / MS_PER_SECOND);
    timeout.tv_nsec = static_cast<long>(timeoutMs % MS_PER_SECOND) * NS_PER_MS;
    for (;;) {
        int ready = ppoll(port, 1, &timeout, nullptr);
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR)
            return false;
        timeout = TimeLeft(deadline);
    }
}

bool SetSpeed(struct termios *settings, speed_t speed)
{
    return cfsetispeed(settings, speed) == 0 && cfsetospeed(settings, speed) == 0;
}

// The open proper, shared by both name forms.
int OpenPort(const char *name, uint32_t speed, uint8_t dataBits, char parity, uint8_t stopBits, char flowControl)
{
    // Close-on-exec: a program that the application starts must not inherit
    // the port, for the port's lock belongs to the open descriptor and would
    // stay held, keeping the reader from everyone, for as long as that
    // program runs, the application's close notwithstanding.
    int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1)
        return -1;
    // Before anything touches the line: a port that another program holds
    // keeps its settings and its queues, and the close below flushes nothing.
    if (!ComPort_Claim(fd)) {
        CloseKeepingErrno(fd);
        return -1;
    }
    // Non-blocking was only wanted so that the open itself does not wait for
    // the modem lines; reads are bounded by ComPort_Read's wait instead.
    fcntl(fd, F_SETFL, 0);
    if (!ComPort_Init(fd, speed, dataBits, parity, stopBits, flowControl)) {
        int saved = errno;
        ComPort_Release(fd);
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

} // namespace

bool MapBaudRateToSpeed(uint32_t baudRate, speed_t *speed)
{
    for (const SpeedEntry &entry : SPEED_TABLE) {
        if (entry.baudRate == baudRate) {
            *speed = entry.speed;
            return true;
        }
    }
    *speed = 0;
    return false;
}

bool MapSpeedToBaudRate(speed_t speed, uint32_t *baudRate)
{
    for (const SpeedEntry &entry : SPEED_TABLE) {
        if (entry.speed == speed) {
            *baudRate = entry.baudRate;
            return true;
        }
    }
    *baudRate = 0;
    return false;
}

int ComPort_OpenA(const char *name, uint32_t speed, uint8_t dataBits, char parity, uint8_t stopBits, char flowControl)
{
    return OpenPort(name, speed, dataBits, parity, stopBits, flowControl);
}

// The wide name is converted in the current locale.  Its multibyte form may
// be longer than its count of wide characters, so a first pass measures it
// and the whole name is converted, terminated, before the open.
int ComPort_OpenW(const wchar_t *name, uint32_t speed, uint8_t dataBits, char parity, uint8_t stopBits,
                  char flowControl)
{
    const wchar_t *source = name;
    mbstate_t state{};
    size_t length = wcsrtombs(nullptr, &source, 0, &state);
    if (length == static_cast<size_t>(-1))
        return -1;

    char *converted = static_cast<char *>(calloc(length + 1, 1));
    if (converted == nullptr)
        return -1;

    source = name;
    state = mbstate_t{};
    if (wcsrtombs(converted, &source, length + 1, &state) == static_cast<size_t>(-1)) {
        FreeKeepingErrno(converted);
        return -1;
    }

    int fd = OpenPort(converted, speed, dataBits, parity, stopBits, flowControl);
    FreeKeepingErrno(converted);
    return fd;
}

bool ComPort_BuildSettings(struct termios *settings, uint32_t speed, uint8_t dataBits, char parity, uint8_t stopBits,
                           char flowControl)
{
    speed_t constant;
    if (!MapBaudRateToSpeed(speed, &constant) || !SetSpeed(settings, constant))
        return false;
    if (!SetCharacterSize(settings, dataBits))
        return false;
    settings->c_iflag = 0;
    if (!SetParity(settings, parity) || !SetStopBits(settings, stopBits) || !SetFlowControl(settings, flowControl))
        return false;
    SetRawMode(settings);
    return true;
}

// The settings are built on a copy and applied once, so a rejected setting
// leaves the port exactly as it was.
bool ComPort_Init(int fd, uint32_t speed, uint8_t dataBits, char parity, uint8_t stopBits, char flowControl)
{
    struct termios settings;
    if (tcgetattr(fd, &settings) == -1)
        return false;
    if (!ComPort_BuildSettings(&settings, speed, dataBits, parity, stopBits, flowControl))
        return false;
    return tcsetattr(fd, TCSANOW, &settings) != -1;
}

bool ComPort_Close(int fd)
{
    tcflush(fd, TCIOFLUSH);
    ComPort_Release(fd);
    return close(fd) == 0;
}

// One wait and at most one read.  A timeout and an error are both false
// with a count of 0; true with a count of 0 is end of file.
bool ComPort_Read(int fd, uint8_t *buffer, uint32_t maxBytes, uint32_t *bytesRead, uint32_t timeoutMs)
{
    *bytesRead = 0;

    struct pollfd port = {fd, POLLIN, 0};
    if (!WaitForInput(&port, timeoutMs))
        return false;
    // A hung-up line or a port error is a failed read once nothing is left
    // to read: bytes that arrived before the hang-up are still delivered, and
    // the empty read that follows is reported as false rather than as data.
    // Either way the call returns at once, and the caller's retry count
    // bounds how often it asks a dead line again.
    bool lineDown = (port.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    if ((port.revents & POLLIN) == 0)
        return false;

    size_t wanted = maxBytes;
    if (wanted > SSIZE_MAX)
        wanted = SSIZE_MAX;
    ssize_t received;
    do {
        received = read(fd, buffer, wanted);
    } while (received < 0 && errno == EINTR);
    if (received < 0 || (received == 0 && lineDown))
        return false;
    *bytesRead = static_cast<uint32_t>(received);
    return true;
}

// Writes the whole count.  A write that a signal cuts short, before any
// byte (EINTR) or after some, goes on with the rest: the frame still reaches
// the reader once and whole, where giving up would make the frame link send
// it again from its start.  Any other failure is false with the count the
// kernel took, which is not taken back.
bool ComPort_Write(int fd, const uint8_t *data, uint32_t count, uint32_t *bytesWritten)
{
    uint32_t done = 0;
    while (done < count) {
        size_t wanted = count - done;
        if (wanted > SSIZE_MAX)
            wanted = SSIZE_MAX;
        ssize_t written = write(fd, data + done, wanted);
        if (written > 0) {
            done += static_cast<uint32_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        break; // an error, or a write that took nothing
    }
    *bytesWritten = done;
    return done == count;
}

bool ComPort_ClearBuffer(int fd)
{
    return tcflush(fd, TCIOFLUSH) == 0;
}

bool ComPort_GetBaudRate(int fd, uint32_t *baudRate)
{
    struct termios settings;
    if (tcgetattr(fd, &settings) == -1)
        return false;
    return MapSpeedToBaudRate(cfgetispeed(&settings), baudRate);
}

// Only the speed changes; a port at a speed outside the five is left alone,
// and asking for the speed it already runs at touches nothing.
bool ComPort_SetBaudRate(int fd, uint32_t baudRate)
{
    struct termios settings;
    if (tcgetattr(fd, &settings) == -1)
        return false;

    uint32_t current;
    if (!MapSpeedToBaudRate(cfgetispeed(&settings), &current))
        return false;
    if (current == baudRate)
        return true;

    speed_t constant;
    if (!MapBaudRateToSpeed(baudRate, &constant) || !SetSpeed(&settings, constant))
        return false;
    // The last bytes written may still be in the driver or the UART; a
    // switch now would send their tail at the new speed, and the reader
    // would see a cut frame (the 13-byte repeat request takes 13.5 ms at
    // 9600 bit/s).  With flow control off the output drains at the line
    // rate, so the wait is bounded by what was written.  A signal does not
    // end the wait; a drain that fails otherwise leaves the switch to
    // tcsetattr, which reports a port that is gone.
    while (tcdrain(fd) == -1 && errno == EINTR) {
    }
    return tcsetattr(fd, TCSANOW, &settings) != -1;
}
