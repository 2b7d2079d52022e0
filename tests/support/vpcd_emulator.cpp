#include "vpcd_emulator.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

namespace rig {

using kytsim::Bytes;

namespace {

constexpr uint8_t kGetAtr = 0x04;

// All `count` bytes, or false at the connection's end.
bool ReceiveAll(int socket, uint8_t *into, size_t count)
{
    size_t done = 0;
    while (done < count) {
        ssize_t n = recv(socket, into + done, count - done, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

Bytes VpcdEmulator::Atr()
{
    return {0x3B, 0x8A, 0x80, 0x01, 0x4B, 0x59, 0x54, 0x20, 0x76, 0x70, 0x63, 0x64, 0x20, 0x20, 0x6C};
}

Bytes VpcdEmulator::AnswerTo(const Bytes &apdu)
{
    Bytes response(apdu.rbegin(), apdu.rend());
    response.push_back(0x90);
    response.push_back(0x00);
    return response;
}

Bytes VpcdEmulator::PlainReply(const Bytes &message)
{
    if (message.size() > 1)
        return Wire(AnswerTo(message));
    return message == Bytes{kGetAtr} ? Wire(Atr()) : Bytes();
}

Bytes VpcdEmulator::Wire(const Bytes &body)
{
    Bytes wire(2 + body.size());
    wire[0] = static_cast<uint8_t>(body.size() >> 8);
    wire[1] = static_cast<uint8_t>(body.size());
    std::copy(body.begin(), body.end(), wire.begin() + 2);
    return wire;
}

VpcdEmulator::VpcdEmulator(Responder responder) : responder_(std::move(responder))
{
}

VpcdEmulator::~VpcdEmulator()
{
    Disconnect();
}

bool VpcdEmulator::Connect(uint16_t port)
{
    Disconnect();
    socket_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (socket_ < 0 || connect(socket_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ADD_FAILURE() << "cannot connect to 127.0.0.1:" << port << ": " << std::strerror(errno);
        Disconnect();
        return false;
    }
    int on = 1;
    setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    {
        std::lock_guard<std::mutex> guard(mutex_);
        messages_.clear();
        closed_ = false;
    }
    thread_ = std::thread([this] { Run(); });
    return true;
}

void VpcdEmulator::Disconnect()
{
    if (socket_ < 0)
        return;
    shutdown(socket_, SHUT_RDWR); // ends the thread's wait for a message
    if (thread_.joinable())
        thread_.join();
    close(socket_);
    socket_ = -1;
}

void VpcdEmulator::SendRaw(const Bytes &bytes)
{
    ASSERT_EQ(send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

std::vector<Bytes> VpcdEmulator::Messages()
{
    std::lock_guard<std::mutex> guard(mutex_);
    return messages_;
}

bool VpcdEmulator::AwaitMessages(size_t count, std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return messages_.size() >= count; });
}

bool VpcdEmulator::AwaitClosed(std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return closed_; });
}

void VpcdEmulator::Run()
{
    Bytes message;
    while (ReadMessage(&message)) {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            messages_.push_back(message);
        }
        changed_.notify_all();
        Bytes reply = responder_(message);
        if (!reply.empty() && send(socket_, reply.data(), reply.size(), MSG_NOSIGNAL) < 0)
            break;
    }
    {
        std::lock_guard<std::mutex> guard(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}

bool VpcdEmulator::ReadMessage(Bytes *message)
{
    uint8_t length[2];
    if (!ReceiveAll(socket_, length, sizeof length))
        return false;
    message->resize((static_cast<size_t>(length[0]) << 8) | length[1]);
    return ReceiveAll(socket_, message->data(), message->size());
}

} // namespace rig
