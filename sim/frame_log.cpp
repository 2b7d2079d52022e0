// The frame log.
#include "frame_log.h"

namespace kytsim {

void FrameLog::Add(Direction direction, const Bytes &bytes, Clock::time_point when)
{
    std::lock_guard<std::mutex> guard(mutex_);
    entries_.push_back(LogEntry{direction, when, bytes});
}

void FrameLog::AddCommand(const Bytes &message)
{
    std::lock_guard<std::mutex> guard(mutex_);
    commands_.push_back(message);
}

void FrameLog::CountRepeatRequest()
{
    std::lock_guard<std::mutex> guard(mutex_);
    repeatRequests_++;
}

std::vector<LogEntry> FrameLog::Entries() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return entries_;
}

std::vector<Bytes> FrameLog::Commands() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return commands_;
}

size_t FrameLog::RepeatRequests() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return repeatRequests_;
}

void FrameLog::Clear()
{
    std::lock_guard<std::mutex> guard(mutex_);
    entries_.clear();
    commands_.clear();
    repeatRequests_ = 0;
}

} // namespace kytsim
