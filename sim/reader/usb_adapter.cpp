#include "usb_adapter.h"

namespace kytsim {

UsbAdapter::Bytes UsbAdapter::Take(const uint8_t *bytes, size_t count, Clock::time_point now)
{
    Bytes out = Due(now);
    for (size_t i = 0; i < count; i++) {
        if (pending_.empty())
            firstPending_ = now;
        pending_.push_back(bytes[i]);
        if (pending_.size() == kPacketData) {
            out.insert(out.end(), pending_.begin(), pending_.end());
            pending_.clear();
        }
    }
    return out;
}

UsbAdapter::Bytes UsbAdapter::Due(Clock::time_point now)
{
    Bytes out;
    if (!pending_.empty() && now >= firstPending_ + latency_)
        out.swap(pending_);
    return out;
}

std::optional<UsbAdapter::Clock::time_point> UsbAdapter::Deadline() const
{
    if (pending_.empty())
        return std::nullopt;
    return firstPending_ + latency_;
}

} // namespace kytsim
