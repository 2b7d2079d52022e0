#include "line_relay.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace rig {

namespace {

constexpr int kPollStepMs = 10;

bool WriteAll(int fd, const unsigned char *bytes, size_t count)
{
    while (count > 0) {
        ssize_t put = write(fd, bytes, count);
        if (put > 0) {
            bytes += put;
            count -= static_cast<size_t>(put);
        } else if (put < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else {
            pollfd room = {fd, POLLOUT, 0};
            poll(&room, 1, kPollStepMs);
        }
    }
    return true;
}

} // namespace

LineRelay::~LineRelay()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    ClosePtyLine(&host_);
    if (readerSide_ >= 0)
        close(readerSide_);
}

bool LineRelay::Start(const std::string &readerPort, size_t readerBytes, std::function<void()> action)
{
    readerBytesDue_ = readerBytes;
    action_ = std::move(action);
    if (!OpenPtyLine(&host_))
        return false;
    readerSide_ = open(readerPort.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (readerSide_ < 0 || !MakeRaw(readerSide_))
        return false;
    thread_ = std::thread([this] { Run(); });
    return true;
}

void LineRelay::HangUp()
{
    ClosePtyLine(&host_);
}

void LineRelay::Run()
{
    while (!stop_) {
        pollfd ends[2] = {{host_.master, POLLIN, 0}, {readerSide_, POLLIN, 0}};
        if (poll(ends, 2, kPollStepMs) <= 0)
            continue;
        if ((ends[0].revents & POLLIN) && !Pass(host_.master, readerSide_, true))
            return;
        if ((ends[1].revents & POLLIN) && !Pass(readerSide_, host_.master, false))
            return;
    }
}

bool LineRelay::Pass(int from, int to, bool fromHost)
{
    unsigned char buffer[4096];
    ssize_t got = read(from, buffer, sizeof buffer);
    if (got <= 0)
        return got < 0 && (errno == EAGAIN || errno == EINTR);
    if (fromHost && !actionRan_ && readerBytesSeen_ >= readerBytesDue_) {
        action_();
        actionRan_ = true;
    }
    if (!fromHost)
        readerBytesSeen_ += static_cast<size_t>(got);
    return WriteAll(to, buffer, static_cast<size_t>(got));
}

} // namespace rig
