#include "wire.h"

#include <algorithm>
#include <iterator>

namespace wire {

namespace {

constexpr uint8_t kStart = 0x02;
constexpr uint8_t kEnd = 0x03;
constexpr size_t kHeaderSize = 10;

} // namespace

// Sized up front and filled in place: g++ 12 reports a false -Warray-bounds
// for a vector insert behind a short initial vector.
Bytes Frame(const Bytes &message)
{
    Bytes frame(message.size() + 3);
    frame.front() = kStart;
    std::copy(message.begin(), message.end(), frame.begin() + 1);
    uint8_t checksum = 0;
    for (uint8_t byte : message)
        checksum ^= byte;
    frame[frame.size() - 2] = checksum;
    frame.back() = kEnd;
    return frame;
}

Bytes Ack()
{
    return {kStart, 0x00, 0x00, kEnd};
}

Bytes RefusedAck()
{
    return {kStart, 0x01, 0x01, kEnd};
}

Bytes RepeatRequest()
{
    return Frame(Bytes(kHeaderSize, 0));
}

Bytes Message(uint8_t type, uint8_t slot, uint8_t seq, uint8_t b7, uint8_t b8, uint8_t b9, const Bytes &data)
{
    auto length = static_cast<uint32_t>(data.size());
    const uint8_t header[kHeaderSize] = {type,
                                         static_cast<uint8_t>(length),
                                         static_cast<uint8_t>(length >> 8),
                                         static_cast<uint8_t>(length >> 16),
                                         static_cast<uint8_t>(length >> 24),
                                         slot,
                                         seq,
                                         b7,
                                         b8,
                                         b9};
    Bytes message(kHeaderSize + data.size());
    std::copy(std::begin(header), std::end(header), message.begin());
    std::copy(data.begin(), data.end(), message.begin() + kHeaderSize);
    return message;
}

Bytes Command(uint8_t type, uint8_t slot, uint8_t seq, const Bytes &data, uint8_t b7, uint16_t level)
{
    return Message(type, slot, seq, b7, static_cast<uint8_t>(level), static_cast<uint8_t>(level >> 8), data);
}

Bytes Response(uint8_t type, uint8_t slot, uint8_t seq, uint8_t status, uint8_t error, uint8_t chain, const Bytes &data)
{
    return Message(type, slot, seq, status, error, chain, data);
}

Bytes AckAndFrame(const Bytes &message)
{
    Bytes bytes = Ack();
    Bytes frame = Frame(message);
    bytes.insert(bytes.end(), frame.begin(), frame.end());
    return bytes;
}

} // namespace wire
