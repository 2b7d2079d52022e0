// The frame log.
#include "frame_log.h"

namespace kytsim {

namespace {

size_t SizeOf(const LogEntry &entry)
{
    return entry.bytes.size();
}

size_t SizeOf(const Bytes &message)
{
    return message.size();
}

} // namespace

FrameLog::FrameLog(size_t maxEntries, size_t maxBytes) : maxEntries_(maxEntries), maxBytes_(maxBytes)
{
}

// Adds one item and drops the oldest until the ring is within its bounds
// again; an item larger than the byte bound alone is not kept at all.
template <typename Item>
void FrameLog::Keep(Ring<Item> &ring, Item item)
{
    ring.bytes += SizeOf(item);
    ring.items.push_back(std::move(item));
    while (!ring.items.empty() && (ring.items.size() > maxEntries_ || ring.bytes > maxBytes_)) {
        ring.bytes -= SizeOf(ring.items.front());
        ring.items.pop_front();
    }
}

void FrameLog::Add(Direction direction, const Bytes &bytes, Clock::time_point when)
{
    std::lock_guard<std::mutex> guard(mutex_);
    LogEntry entry{direction, when, bytes};
    if (sink_)
        sink_(entry);
    Keep(entries_, std::move(entry));
}

void FrameLog::AddCommand(const Bytes &message)
{
    std::lock_guard<std::mutex> guard(mutex_);
    Keep(commands_, message);
}

void FrameLog::CountRepeatRequest()
{
    std::lock_guard<std::mutex> guard(mutex_);
    repeatRequests_++;
}

void FrameLog::SetSink(LogSink sink)
{
    std::lock_guard<std::mutex> guard(mutex_);
    sink_ = std::move(sink);
}

std::vector<LogEntry> FrameLog::Entries() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return std::vector<LogEntry>(entries_.items.begin(), entries_.items.end());
}

std::vector<Bytes> FrameLog::Commands() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return std::vector<Bytes>(commands_.items.begin(), commands_.items.end());
}

size_t FrameLog::RepeatRequests() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return repeatRequests_;
}

void FrameLog::Clear()
{
    std::lock_guard<std::mutex> guard(mutex_);
    entries_ = Ring<LogEntry>();
    commands_ = Ring<Bytes>();
    repeatRequests_ = 0;
}

} // namespace kytsim
