#include "signal_storm.h"

#include <cstring>

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

SignalStorm::SignalStorm(pthread_t target, std::chrono::milliseconds period, std::chrono::milliseconds limit,
                         std::function<bool()> during)
{
    InstallHandler();
    thread_ = std::thread([this, target, period, limit, during] {
        auto end = std::chrono::steady_clock::now() + limit;
        while (!stop_ && std::chrono::steady_clock::now() < end) {
            bool counted = during && during();
            pthread_kill(target, SIGUSR1);
            sent_++;
            if (counted)
                sentDuring_++;
            std::this_thread::sleep_for(period);
        }
    });
}

SignalStorm::~SignalStorm()
{
    stop_ = true;
    thread_.join();
}

unsigned SignalStorm::Sent() const
{
    return sent_;
}

unsigned SignalStorm::SentDuring() const
{
    return sentDuring_;
}

unsigned SignalStorm::Handled()
{
    return g_handled.load();
}

} // namespace rig
