// The vpcd protocol's exchanges.  The socket is non-blocking and every wait
// is a poll() bounded by the exchange's deadline, so an emulator that stops
// answering, or sends less than it announced, never holds the reader longer
// than the timeout.  Drop() shuts the socket down from another thread, which
// ends a wait in progress at once.
#include "vpcd_card.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "protocol.h"

namespace kytsim::program {

namespace {

// The shortest ATR: TS and T0.
constexpr size_t kMinAtrSize = 2;
// The shortest response APDU: SW1 SW2.
constexpr size_t kMinResponseSize = 2;
constexpr size_t kLengthSize = 2;

std::string Milliseconds(std::chrono::milliseconds timeout)
{
    return std::to_string(timeout.count()) + " ms";
}

} // namespace

VpcdCard::VpcdCard(int socket, std::chrono::milliseconds timeout) : socket_(socket), timeout_(timeout)
{
}

VpcdCard::~VpcdCard()
{
    close(socket_);
}

// A powered card is reset, an unpowered one powered up; either way the
// emulator is then asked for its ATR.
std::optional<Bytes> VpcdCard::PowerOn()
{
    std::lock_guard<std::mutex> exchange(exchangeMutex_);
    Clock::time_point deadline = Clock::now() + timeout_;
    uint8_t power = powered_ ? kVpcdCtrlReset : kVpcdCtrlOn;
    if (!Send({power}, deadline) || !Send({kVpcdCtrlAtr}, deadline))
        return std::nullopt;
    std::optional<Bytes> atr = Receive(kMinAtrSize, kMaxAtrSize, "an ATR", deadline);
    powered_ = atr.has_value();
    return atr;
}

void VpcdCard::PowerOff()
{
    std::lock_guard<std::mutex> exchange(exchangeMutex_);
    powered_ = false;
    Send({kVpcdCtrlOff}, Clock::now() + timeout_);
}

// A command that a vpcd message cannot carry, one longer than the 2-byte
// length allows (an extended APDU with nearly 64 KiB of data) or a 1-byte
// one (the emulator would take it for a control code), cannot reach the
// emulator: the card stays silent on it, and the connection stands.
std::optional<Bytes> VpcdCard::Transmit(const Bytes &apdu)
{
    std::lock_guard<std::mutex> exchange(exchangeMutex_);
    if (apdu.size() <= 1 || apdu.size() > kMaxVpcdMessage)
        return std::nullopt;
    Clock::time_point deadline = Clock::now() + timeout_;
    if (!Send(apdu, deadline))
        return std::nullopt;
    return Receive(kMinResponseSize, kMaxVpcdMessage, "a response", deadline);
}

void VpcdCard::Drop(const std::string &why)
{
    {
        std::lock_guard<std::mutex> guard(dropMutex_);
        if (!dropReason_.empty())
            return;
        dropReason_ = why;
    }
    // The descriptor stays open until the card is destroyed, so that no
    // other thread's poll() or recv() ever meets a reused number.
    shutdown(socket_, SHUT_RDWR);
}

bool VpcdCard::Dropped()
{
    std::lock_guard<std::mutex> guard(dropMutex_);
    return !dropReason_.empty();
}

std::string VpcdCard::DropReason()
{
    std::lock_guard<std::mutex> guard(dropMutex_);
    return dropReason_;
}

// Between exchanges the emulator has nothing to say: readable data is
// either the end of the connection or a breach of the protocol.
std::string VpcdCard::CheckIdle()
{
    std::lock_guard<std::mutex> exchange(exchangeMutex_);
    if (Dropped())
        return DropReason();
    uint8_t byte = 0;
    ssize_t n = recv(socket_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0)
        Drop("it closed the connection");
    else if (n > 0)
        Drop("it sent data that nothing asked for");
    else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
        Drop(std::string("the connection failed: ") + std::strerror(errno));
    return DropReason();
}

// One message: its length, then its bytes, in as many writes as the socket
// takes, all before the deadline.  A message leaves in one send() when it
// can, as vicc reads a message's bytes with a single recv().
bool VpcdCard::Send(const Bytes &message, Clock::time_point deadline)
{
    if (Dropped())
        return false;
    Bytes wire{static_cast<uint8_t>(message.size() >> 8), static_cast<uint8_t>(message.size())};
    wire.insert(wire.end(), message.begin(), message.end());
    size_t done = 0;
    while (done < wire.size()) {
        ssize_t n = send(socket_, wire.data() + done, wire.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            Drop(std::string("the connection failed: ") + std::strerror(errno));
            return false;
        }
        if (!WaitFor(POLLOUT, deadline)) {
            Drop("it took no data for " + Milliseconds(timeout_));
            return false;
        }
    }
    return true;
}

// One message from the emulator, whose length must lie between `shortest`
// and `longest`: a length outside is a breach of the protocol, and its
// bytes are never read.
std::optional<Bytes> VpcdCard::Receive(size_t shortest, size_t longest, const char *what, Clock::time_point deadline)
{
    uint8_t length[kLengthSize];
    if (Dropped() || !ReadExactly(length, sizeof length, deadline))
        return std::nullopt;
    size_t size = (static_cast<size_t>(length[0]) << 8) | length[1];
    if (size < shortest || size > longest) {
        Drop(std::string("it sent ") + what + " of length " + std::to_string(size));
        return std::nullopt;
    }
    Bytes message(size);
    if (!ReadExactly(message.data(), size, deadline))
        return std::nullopt;
    return message;
}

bool VpcdCard::ReadExactly(uint8_t *into, size_t count, Clock::time_point deadline)
{
    size_t done = 0;
    while (done < count) {
        ssize_t n = recv(socket_, into + done, count - done, MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n == 0) {
            Drop("it closed the connection");
            return false;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            Drop(std::string("the connection failed: ") + std::strerror(errno));
            return false;
        }
        if (!WaitFor(POLLIN, deadline)) {
            Drop("no answer within " + Milliseconds(timeout_));
            return false;
        }
    }
    return true;
}

// True when the socket is ready for `events` or has something to report
// (a hang-up or an error, which the next call meets), false at the deadline.
bool VpcdCard::WaitFor(short events, Clock::time_point deadline)
{
    for (;;) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p = {socket_, events, 0};
        int ready = poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 60000)));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

} // namespace kytsim::program
