#include "signal_storm.h"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace rig {

namespace {

std::atomic<unsigned> g_handled{0};

void CountSignal(int)
{
    g_handled.fetch_add(1, std::memory_order_relaxed);
}

void InstallHandler()
{
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = CountSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: interrupted calls fail with EINTR
    sigaction(SIGUSR1, &action, nullptr);
}

} // namespace

// The sending thread's state, shared with it.  The thread is detached and
// its end awaited through `ended`: qemu-i386 fails a join of a thread that
// has signalled the joining one (EDEADLK), and the suite runs under qemu.
struct SignalStorm::Sender {
    std::atomic<bool> stop{false};
    std::atomic<unsigned> sent{0};
    std::atomic<unsigned> sentDuring{0};
    std::mutex mutex;
    std::condition_variable changed;
    bool ended = false;
};

SignalStorm::SignalStorm(pthread_t target, std::chrono::milliseconds period, std::chrono::milliseconds limit,
                         std::function<bool()> during)
    : sender_(std::make_shared<Sender>())
{
    InstallHandler();
    std::thread([sender = sender_, target, period, limit, during] {
        auto end = std::chrono::steady_clock::now() + limit;
        while (!sender->stop && std::chrono::steady_clock::now() < end) {
            bool counted = during && during();
            pthread_kill(target, SIGUSR1);
            sender->sent++;
            if (counted)
                sender->sentDuring++;
            std::this_thread::sleep_for(period);
        }
        std::lock_guard<std::mutex> guard(sender->mutex);
        sender->ended = true;
        sender->changed.notify_all();
    }).detach();
}

SignalStorm::~SignalStorm()
{
    sender_->stop = true;
    std::unique_lock<std::mutex> lock(sender_->mutex);
    sender_->changed.wait(lock, [this] { return sender_->ended; });
}

unsigned SignalStorm::Sent() const
{
    return sender_->sent;
}

unsigned SignalStorm::SentDuring() const
{
    return sender_->sentDuring;
}

unsigned SignalStorm::Handled()
{
    return g_handled.load();
}

} // namespace rig
