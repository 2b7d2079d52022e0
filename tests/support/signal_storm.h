// Signals delivered to a thread while it works, as a program with signal
// handlers of its own delivers them to the library's caller.
#ifndef KYT_TESTS_SIGNAL_STORM_H
#define KYT_TESTS_SIGNAL_STORM_H

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace rig {

// False where signals between threads cannot be trusted to arrive the way
// the kernel delivers them (see tests/CMakeLists.txt).
#ifdef KYT_TEST_SIGNALS_UNRELIABLE
inline constexpr bool kSignalsBetweenThreadsWork = false;
#else
inline constexpr bool kSignalsBetweenThreadsWork = true;
#endif
inline constexpr const char *kSignalsSkipReason =
    "signals between threads are not delivered faithfully under this emulator";

// For as long as it lives, but no longer than `limit`, a thread that sends
// SIGUSR1 to `target` every `period`.  The SIGUSR1 handler it installs (once,
// for the rest of the process, so that no late signal meets the default
// action) is without SA_RESTART: a blocking call in the signalled thread
// fails with EINTR instead of being restarted by the kernel.  `during`, when
// given, is asked before each signal; SentDuring() counts the signals sent
// while it held.
class SignalStorm {
public:
    SignalStorm(pthread_t target, std::chrono::milliseconds period, std::chrono::milliseconds limit,
                std::function<bool()> during = nullptr);
    ~SignalStorm(); // stops sending
    SignalStorm(const SignalStorm &) = delete;
    SignalStorm &operator=(const SignalStorm &) = delete;

    unsigned Sent() const;
    unsigned SentDuring() const;
    // Signals the handler has run for, in this process so far.
    static unsigned Handled();

private:
    std::atomic<bool> stop_{false};
    std::atomic<unsigned> sent_{0};
    std::atomic<unsigned> sentDuring_{0};
    std::thread thread_;
};

} // namespace rig

#endif
