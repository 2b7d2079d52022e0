// Building and parsing the frames and CCID messages, each layout drawn where
// it is built or parsed.
#include "protocol.h"

#include <algorithm>

namespace kytsim {

namespace {

// Offsets in a frame: the message begins after the start byte.
constexpr size_t kFrameMessage = 1;
// Offsets in a CCID message header.
constexpr size_t kHeaderType = 0;
constexpr size_t kHeaderLength = 1;
constexpr size_t kHeaderSlot = 5;
constexpr size_t kHeaderSeq = 6;
constexpr size_t kHeaderSpecific = 7;

uint32_t ReadLe32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void WriteLe32(uint8_t *p, uint32_t value)
{
    for (int i = 0; i < 4; i++)
        p[i] = static_cast<uint8_t>(value >> (8 * i));
}

} // namespace

Bytes StatusWord(uint16_t sw)
{
    return Bytes{static_cast<uint8_t>(sw >> 8), static_cast<uint8_t>(sw)};
}

uint8_t Checksum(const uint8_t *bytes, size_t count)
{
    uint8_t sum = 0;
    for (size_t i = 0; i < count; i++)
        sum ^= bytes[i];
    return sum;
}

// Command and response frames, acknowledges and repeat requests share one
// layout around n message bytes:
//
//     0       1 ... n                           1 + n      2 + n
//   +-------+---------------------------------+----------+-----+
//   | start | message: a CCID message, or the | XOR of   | end |
//   | 02    | acknowledge's one status byte   | message  | 03  |
//   +-------+---------------------------------+----------+-----+
Bytes Frame(const Bytes &message)
{
    Bytes frame;
    frame.reserve(message.size() + kFrameOverhead);
    frame.push_back(kFrameStart);
    frame.insert(frame.end(), message.begin(), message.end());
    frame.push_back(Checksum(message.data(), message.size()));
    frame.push_back(kFrameEnd);
    return frame;
}

// The acknowledge, sent after every command frame before anything else:
//
//   +-------+--------+----------+-----+
//   | 02    | status | checksum | 03  |   taken:   02 00 00 03
//   |       |        | = status |     |   refused: 02 01 01 03
//   +-------+--------+----------+-----+
Bytes AckFrame(uint8_t status)
{
    return Frame(Bytes{status});
}

// A frame holding a CCID message is sized by the message's dwLength, at
// frame offsets 2 to 5:
//
//     0    1      2 ... 5        6 ... 10            11 ...
//   +----+------+--------------+-------------------+--------------+----------+----+
//   | 02 | type | dwLength, LE | rest of header    | dwLength     | checksum | 03 |
//   |    |      |              | (slot, seq, 7-9)  | data bytes   |          |    |
//   +----+------+--------------+-------------------+--------------+----------+----+
uint32_t FrameDataLength(const uint8_t *frame)
{
    return ReadLe32(frame + kFrameMessage + kHeaderLength);
}

bool FrameIntact(const Bytes &frame)
{
    const uint8_t *message = frame.data() + kFrameMessage;
    size_t messageSize = frame.size() - kFrameOverhead;
    return frame.back() == kFrameEnd && frame[frame.size() - kChecksumFromEnd] == Checksum(message, messageSize);
}

Bytes FrameMessage(const Bytes &frame)
{
    return Bytes(frame.begin() + kFrameMessage, frame.end() - kChecksumFromEnd);
}

// The repeat request asks for the last response frame again; it is a frame
// around an all-zero header and is not acknowledged:
//
//   +----+-------------------------------+----+----+
//   | 02 | 00 00 00 00 00 00 00 00 00 00 | 00 | 03 |
//   +----+-------------------------------+----+----+
bool IsRepeatRequest(const uint8_t *message, size_t size)
{
    return size == kHeaderSize && std::all_of(message, message + size, [](uint8_t b) { return b == 0; });
}

// The CCID message header, the same ten bytes both ways:
//
//     0      1 ... 4        5      6      7         8         9
//   +------+--------------+------+------+---------+---------+---------+--------------+
//   | type | dwLength, LE | slot | seq  | byte 7  | byte 8  | byte 9  | dwLength     |
//   |      |              |      |      |         |         |         | data bytes   |
//   +------+--------------+------+------+---------+---------+---------+--------------+
//   command:  bytes 7-9 are bPowerSelect, 0, 0 (power on), bBWI and
//             wLevelParameter, LE (XfrBlock), bProtocolNum, 0, 0
//             (SetParameters), or 0, 0, 0
//   response: byte 7 bStatus, byte 8 bError, byte 9 bChainParameter (data
//             block), bProtocolNum (parameters) or 0
CommandHeader ReadCommandHeader(const Bytes &message)
{
    CommandHeader header{};
    header.type = message[kHeaderType];
    header.slot = message[kHeaderSlot];
    header.seq = message[kHeaderSeq];
    std::copy_n(message.begin() + kHeaderSpecific, 3, header.specific);
    return header;
}

uint16_t LevelParameter(const CommandHeader &command)
{
    return static_cast<uint16_t>(command.specific[1] | command.specific[2] << 8);
}

Bytes ResponseMessage(const CommandHeader &command, uint8_t type, uint8_t status, uint8_t error, uint8_t byte9,
                      const Bytes &data)
{
    // Sized once and filled in place: growing a 10-byte header by the data
    // would only copy it again.
    Bytes message(kHeaderSize + data.size());
    message[kHeaderType] = type;
    WriteLe32(&message[kHeaderLength], static_cast<uint32_t>(data.size()));
    message[kHeaderSlot] = command.slot;
    message[kHeaderSeq] = command.seq;
    message[kHeaderSpecific] = status;
    message[kHeaderSpecific + 1] = error;
    message[kHeaderSpecific + 2] = byte9;
    std::copy(data.begin(), data.end(), message.begin() + kHeaderSize);
    return message;
}

std::optional<uint8_t> SetSpeedEntry(const Bytes &escapeCommand)
{
    if (escapeCommand.size() != 2 || escapeCommand[0] != kEscSetSpeed || escapeCommand[1] >= std::size(kSpeedTable))
        return std::nullopt;
    return escapeCommand[1];
}

} // namespace kytsim
