// A line of the test's own between a host program and the simulated reader,
// for tests that must act at an exact point of the conversation rather than
// race a program they do not control.
#ifndef KYT_TESTS_LINE_RELAY_H
#define KYT_TESTS_LINE_RELAY_H

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <thread>

#include "pty_line.h"

namespace rig {

// The host opens HostPath(), a pseudo-terminal of the relay's own; every
// byte it sends goes on to the reader's port and every byte the reader
// sends comes back, unchanged.  Once the reader has sent `readerBytes`
// bytes, `action` runs on the relay's thread before the host's next bytes
// are passed on, so the reader meets them only after it.
class LineRelay {
public:
    LineRelay() = default;
    ~LineRelay();
    LineRelay(const LineRelay &) = delete;
    LineRelay &operator=(const LineRelay &) = delete;

    bool Start(const std::string &readerPort, size_t readerBytes, std::function<void()> action);
    const std::string &HostPath() const { return host_.slavePath; }
    // The host's line hangs up, as when a USB adapter is pulled; for an
    // action, which runs on the relay's thread.
    void HangUp();
    bool ActionRan() const { return actionRan_; }

private:
    void Run();
    bool Pass(int from, int to, bool fromHost);

    PtyLine host_;        // the host's line; the relay plays its master
    int readerSide_ = -1; // the reader's port, opened as a host would
    size_t readerBytesDue_ = 0;
    size_t readerBytesSeen_ = 0;
    std::function<void()> action_;
    std::atomic<bool> actionRan_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace rig

#endif
