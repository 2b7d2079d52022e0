// A USB-serial adapter between the reader and the host, as the host sees
// the reader's bytes through it.  An FTDI chip does not pass each byte on as
// it arrives: it gathers them and sends a USB packet once a packet's worth
// is waiting (62 data bytes beside its 2 status bytes), or once its latency
// timer has run out since the first waiting byte came in (16 ms by default,
// 1 ms with the driver's low-latency flag).  A short burst, such as a 4-byte
// acknowledge, therefore reaches the host a whole timer late.
#ifndef KYT_SIM_USB_ADAPTER_H
#define KYT_SIM_USB_ADAPTER_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace kytsim {

class UsbAdapter {
public:
    using Clock = std::chrono::steady_clock;
    using Bytes = std::vector<uint8_t>;

    // Data bytes in one full-speed USB packet of the adapter.
    static constexpr size_t kPacketData = 62;

    explicit UsbAdapter(std::chrono::milliseconds latency = std::chrono::milliseconds(0)) : latency_(latency) {}

    // True when the adapter is in the line at all (a latency above 0).
    bool Active() const { return latency_.count() > 0; }

    // Bytes from the reader that reached the adapter at `now`; returns what
    // the adapter sends on to the host at once: whatever its timer released
    // before them, then every full packet.
    Bytes Take(const uint8_t *bytes, size_t count, Clock::time_point now);

    // What the timer releases by `now` (empty when nothing is due).
    Bytes Due(Clock::time_point now);

    // When the timer runs out for the bytes waiting, if any wait.
    std::optional<Clock::time_point> Deadline() const;

private:
    std::chrono::milliseconds latency_;
    Bytes pending_;
    Clock::time_point firstPending_;
};

} // namespace kytsim

#endif
