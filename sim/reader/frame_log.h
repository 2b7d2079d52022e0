// The frame log: the frames that crossed the line both ways, with their
// times, the CCID messages of the command frames, and the repeat requests
// counted.  A reader polled for days must not grow without bound, so the
// log keeps only the most recent frames and commands: a ring of at most
// `maxEntries` of each, and of at most `maxBytes` bytes of each, the oldest
// dropped first.  The defaults hold thousands of exchanges, far more than
// any test looks back on.
#ifndef KYT_SIM_FRAME_LOG_H
#define KYT_SIM_FRAME_LOG_H

#include <cstddef>
#include <deque>
#include <mutex>
#include <vector>

#include "sim_reader.h"

namespace kytsim {

// Thread-safe: the reader's thread adds while tests read.
class FrameLog {
public:
    static constexpr size_t kDefaultEntries = 8192;
    static constexpr size_t kDefaultBytes = 8 * 1024 * 1024;

    explicit FrameLog(size_t maxEntries = kDefaultEntries, size_t maxBytes = kDefaultBytes);

    void Add(Direction direction, const Bytes &bytes, Clock::time_point when);
    void AddCommand(const Bytes &message);
    void CountRepeatRequest();
    void SetSink(LogSink sink);

    std::vector<LogEntry> Entries() const;
    std::vector<Bytes> Commands() const;
    size_t RepeatRequests() const;
    void Clear();

private:
    // The last items added, within the log's bounds.
    template <typename Item>
    struct Ring {
        std::deque<Item> items;
        size_t bytes = 0;
    };
    template <typename Item>
    void Keep(Ring<Item> &ring, Item item);

    const size_t maxEntries_;
    const size_t maxBytes_;
    mutable std::mutex mutex_;
    Ring<LogEntry> entries_;
    Ring<Bytes> commands_;
    size_t repeatRequests_ = 0;
    LogSink sink_;
};

} // namespace kytsim

#endif
