// The bytes on the line between a host and a reader, spelled out for the
// tests on both sides of it: a frame around a message, a CCID header, the
// acknowledges and the repeat request.  The bytes are written here, not
// taken from the library or the simulator, so that neither can agree with
// itself about a wrong byte.
#ifndef KYT_TESTS_WIRE_H
#define KYT_TESTS_WIRE_H

#include <cstdint>
#include <vector>

namespace wire {

using Bytes = std::vector<uint8_t>;

// 02, message, XOR of the message's bytes, 03.
Bytes Frame(const Bytes &message);
// The accepting acknowledge 02 00 00 03.
Bytes Ack();
// The refusing acknowledge 02 01 01 03.
Bytes RefusedAck();
// The host's repeat request: a frame around an all-zero header.
Bytes RepeatRequest();

// A message: the ten-byte header (type, dwLength = data size, slot,
// sequence, then bytes 7 to 9 as given), then the data.
Bytes Message(uint8_t type, uint8_t slot, uint8_t seq, uint8_t b7, uint8_t b8, uint8_t b9, const Bytes &data);
// A host-to-reader command; bytes 8 and 9 carry `level` (low byte first).
Bytes Command(uint8_t type, uint8_t slot, uint8_t seq, const Bytes &data = {}, uint8_t b7 = 0, uint16_t level = 0);
// A reader-to-host response with its bStatus, bError and chain byte.
Bytes Response(uint8_t type, uint8_t slot, uint8_t seq, uint8_t status, uint8_t error, uint8_t chain,
               const Bytes &data = {});
// The acknowledge followed by the framed message, as one write.
Bytes AckAndFrame(const Bytes &message);

} // namespace wire

#endif
