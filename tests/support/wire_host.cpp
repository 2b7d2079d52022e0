#include "wire_host.h"

#include <algorithm>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace wire {

namespace {

speed_t SpeedConstant(uint32_t bps)
{
    switch (bps) {
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        return B0;
    }
}

} // namespace

Host::Host(const std::string &path, uint32_t bps)
{
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ >= 0)
        SetSpeed(bps);
}

Host::~Host()
{
    if (fd_ >= 0)
        close(fd_);
}

void Host::SetSpeed(uint32_t bps)
{
    termios t{};
    ASSERT_EQ(tcgetattr(fd_, &t), 0);
    cfmakeraw(&t);
    cfsetispeed(&t, SpeedConstant(bps));
    cfsetospeed(&t, SpeedConstant(bps));
    ASSERT_EQ(tcsetattr(fd_, TCSANOW, &t), 0);
}

void Host::Write(const Bytes &bytes)
{
    ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

Bytes Host::Read(size_t count, std::chrono::milliseconds timeout)
{
    Bytes got;
    while (got.size() < count) {
        pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
            break;
        uint8_t buffer[4096];
        ssize_t n = read(fd_, buffer, std::min(sizeof buffer, count - got.size()));
        if (n <= 0)
            break;
        got.insert(got.end(), buffer, buffer + n);
    }
    return got;
}

Bytes Host::ReadFrame(std::chrono::milliseconds timeout)
{
    // STX, then the CCID header whose bytes 1..4 are dwLength, little-endian.
    Bytes frame = Read(11, timeout);
    if (frame.size() < 11)
        return frame;
    size_t length = frame[2] | frame[3] << 8 | frame[4] << 16 | static_cast<size_t>(frame[5]) << 24;
    Bytes rest = Read(length + 2, timeout);
    frame.insert(frame.end(), rest.begin(), rest.end());
    return frame;
}

std::pair<Bytes, Bytes> Host::Exchange(const Bytes &message)
{
    Write(Frame(message));
    Bytes ack = Read(4);
    Bytes frame = ReadFrame();
    if (frame.size() < 13)
        return {ack, {}};
    return {ack, Bytes(frame.begin() + 1, frame.end() - 2)};
}

} // namespace wire
