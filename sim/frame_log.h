// The frame log: every frame that crossed the line both ways, with its time,
// the CCID messages of the command frames, and the repeat requests counted.
#ifndef KYT_SIM_FRAME_LOG_H
#define KYT_SIM_FRAME_LOG_H

#include <cstddef>
#include <mutex>
#include <vector>

#include "sim_reader.h"

namespace kytsim {

// Thread-safe: the reader's thread adds while tests read.
class FrameLog {
public:
    void Add(Direction direction, const Bytes &bytes, Clock::time_point when);
    void AddCommand(const Bytes &message);
    void CountRepeatRequest();

    std::vector<LogEntry> Entries() const;
    std::vector<Bytes> Commands() const;
    size_t RepeatRequests() const;
    void Clear();

private:
    mutable std::mutex mutex_;
    std::vector<LogEntry> entries_;
    std::vector<Bytes> commands_;
    size_t repeatRequests_ = 0;
};

} // namespace kytsim

#endif
