// The listening slots.  Each has a thread that waits, with poll(), on its
// listening socket, on its emulator's connection while no exchange is going
// on, and on a pipe of its own through which RequestStop() wakes it.  The thread
// alone accepts connections and puts cards in and out; the reader's thread
// runs the exchanges (vpcd_card.cpp).
#include "vpcd_slots.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "parsing.h"
#include "vpcd_card.h"

namespace kytsim::program {

namespace {

constexpr char kVpcdName[] = "vpcd";
// After a failed accept() (out of descriptors, say) the slot waits this
// long before it tries again, rather than spinning on the waiting connection.
constexpr int kAcceptRetryMs = 100;

// One line on standard error, in one write so that lines of several
// threads do not mix.
void Report(unsigned slot, const std::string &text)
{
    std::string line = "kyt_sim: slot " + std::to_string(slot) + ": " + text + "\n";
    std::fputs(line.c_str(), stderr);
}

// A socket listening on 127.0.0.1:port, or -1 with the reason in *error.
int ListenOn(uint16_t port, std::string *error)
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listener < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(listener, 4) != 0) {
        *error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
        close(listener);
        return -1;
    }
    return listener;
}

uint16_t BoundPort(int listener)
{
    sockaddr_in address{};
    socklen_t size = sizeof address;
    if (getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size) != 0)
        return 0;
    return ntohs(address.sin_port);
}

} // namespace

bool IsVpcdCardName(const std::string &name)
{
    return name.rfind(kVpcdName, 0) == 0 && (name.size() == sizeof kVpcdName - 1 || name[sizeof kVpcdName - 1] == ':');
}

std::optional<uint16_t> VpcdPort(const std::string &name, unsigned slot)
{
    if (name == kVpcdName)
        return static_cast<uint16_t>(kVpcdBasePort + slot);
    std::optional<unsigned long> port = ParseNumber(name.substr(sizeof kVpcdName));
    if (!port || *port > 0xFFFF)
        return std::nullopt;
    return static_cast<uint16_t>(*port);
}

// One slot: its listening socket, its thread and the emulator connected.
class VpcdSlot {
public:
    VpcdSlot(SimReader &reader, unsigned slot, std::chrono::milliseconds timeout)
        : reader_(reader), slot_(slot), timeout_(timeout)
    {
    }
    ~VpcdSlot();
    VpcdSlot(const VpcdSlot &) = delete;
    VpcdSlot &operator=(const VpcdSlot &) = delete;

    bool Start(uint16_t port, std::string *error);
    // Wakes the thread and drops the emulator connected; Join() then waits
    // for the thread.
    void RequestStop();
    void Join();
    unsigned Slot() const { return slot_; }
    uint16_t Port() const { return port_; }

private:
    void Run();
    void CheckConnection();
    void Accept();
    void Connect(int socket);
    void Disconnect(const std::string &why);
    void Pause(int ms);

    SimReader &reader_;
    const unsigned slot_;
    const std::chrono::milliseconds timeout_;
    uint16_t port_ = 0;
    int listener_ = -1;
    int wakePipe_[2] = {-1, -1};
    std::thread thread_;
    std::mutex mutex_;               // guards card_, which RequestStop() drops from another thread
    std::shared_ptr<VpcdCard> card_; // the connected emulator's card, or null
};

VpcdSlot::~VpcdSlot()
{
    RequestStop();
    Join();
    for (int fd : {listener_, wakePipe_[0], wakePipe_[1]}) {
        if (fd >= 0)
            close(fd);
    }
}

bool VpcdSlot::Start(uint16_t port, std::string *error)
{
    listener_ = ListenOn(port, error);
    if (listener_ < 0)
        return false;
    port_ = BoundPort(listener_);
    if (pipe2(wakePipe_, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    thread_ = std::thread([this] { Run(); });
    return true;
}

void VpcdSlot::RequestStop()
{
    if (!thread_.joinable())
        return;
    // The byte stays in the pipe: every later wait sees it too.
    uint8_t byte = 1;
    ssize_t ignored = write(wakePipe_[1], &byte, 1);
    (void)ignored;
    // An exchange in progress ends now, and with it any wait of the thread
    // for that exchange.
    std::lock_guard<std::mutex> guard(mutex_);
    if (card_)
        card_->Drop("kyt_sim is stopping");
}

void VpcdSlot::Join()
{
    if (thread_.joinable())
        thread_.join();
}

void VpcdSlot::Run()
{
    for (;;) {
        std::shared_ptr<VpcdCard> card = card_; // only this thread changes it
        pollfd fds[3] = {{wakePipe_[0], POLLIN, 0}, {listener_, POLLIN, 0}, {card ? card->Socket() : -1, POLLIN, 0}};
        if (poll(fds, card ? 3 : 2, -1) < 0 && errno != EINTR) {
            Report(slot_, std::string("poll: ") + std::strerror(errno));
            break;
        }
        if (fds[0].revents != 0)
            break;
        if (card && fds[2].revents != 0)
            CheckConnection();
        if (fds[1].revents != 0)
            Accept();
    }
    std::lock_guard<std::mutex> guard(mutex_);
    if (card_)
        card_->Drop("kyt_sim is stopping");
}

// Drops the connected emulator if it has gone or broken the protocol.
void VpcdSlot::CheckConnection()
{
    std::string why = card_->CheckIdle();
    if (!why.empty())
        Disconnect(why);
}

// One emulator at a time: a second one is turned away at once, and the
// first one keeps the slot.  An emulator that reconnects at once may find
// its old connection's end not yet seen: it is looked at first.
void VpcdSlot::Accept()
{
    int socket = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (socket < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
            Report(slot_, std::string("accept: ") + std::strerror(errno));
            Pause(kAcceptRetryMs);
        }
        return;
    }
    if (card_)
        CheckConnection();
    if (card_) {
        close(socket);
        Report(slot_, "refused a second card emulator: one is connected already");
        return;
    }
    Connect(socket);
}

// Messages are small and each one waits for an answer: they go out at
// once rather than waiting to be gathered with the next (no Nagle delay).
void VpcdSlot::Connect(int socket)
{
    int on = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    auto card = std::make_shared<VpcdCard>(socket, timeout_);
    {
        std::lock_guard<std::mutex> guard(mutex_);
        card_ = card;
    }
    Card inserted;
    inserted.device = card;
    reader_.InsertCard(slot_, inserted);
    Report(slot_, "card emulator connected");
}

void VpcdSlot::Disconnect(const std::string &why)
{
    std::shared_ptr<VpcdCard> card;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        card.swap(card_);
    }
    card->Drop(why);
    reader_.RemoveDeviceCard(slot_, *card);
    Report(slot_, "card emulator gone (" + why + "); the slot is empty until one connects");
}

// Waits `ms` milliseconds, or less when RequestStop() wakes the thread.
void VpcdSlot::Pause(int ms)
{
    pollfd wake = {wakePipe_[0], POLLIN, 0};
    poll(&wake, 1, ms);
}

VpcdSlots::VpcdSlots(SimReader &reader, const VpcdOptions &options) : reader_(reader), options_(options)
{
}

VpcdSlots::~VpcdSlots()
{
    Stop();
}

bool VpcdSlots::Start(std::string *error)
{
    for (const auto &[slot, port] : options_.ports) {
        auto listening = std::make_unique<VpcdSlot>(reader_, slot, options_.timeout);
        if (!listening->Start(port, error)) {
            *error = "slot " + std::to_string(slot) + ": " + *error;
            slots_.clear();
            return false;
        }
        slots_.push_back(std::move(listening));
    }
    return true;
}

// Every slot's emulator is dropped before any thread is waited for: a
// thread may be waiting for the reader, and the reader for an exchange with
// another slot's emulator.
void VpcdSlots::Stop()
{
    for (auto &slot : slots_)
        slot->RequestStop();
    for (auto &slot : slots_)
        slot->Join();
}

std::vector<std::pair<unsigned, uint16_t>> VpcdSlots::Ports() const
{
    std::vector<std::pair<unsigned, uint16_t>> ports;
    for (const auto &slot : slots_)
        ports.emplace_back(slot->Slot(), slot->Port());
    return ports;
}

} // namespace kytsim::program
