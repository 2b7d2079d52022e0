// Serial frame link: one CCID message out in a checksummed frame, the
// reader's acknowledge, and its response frame back.  Every function that
// returns int returns 0 or an errno number.
#ifndef KYT_TRANSPORT_FRAME_H
#define KYT_TRANSPORT_FRAME_H

#include <cstddef>
#include <cstdint>

#include "link.h"

constexpr unsigned FRAME_OVERHEAD = 3; // start byte, checksum, end byte
constexpr unsigned ACK_FRAME_SIZE = 4; // start, status, checksum, end
constexpr uint8_t ACK_STATUS_OK = 0x00;
constexpr unsigned REPEAT_REQUEST_SIZE = 13;
constexpr unsigned READ_CHUNK_SIZE = 64;

uint8_t CCID_CalcChecksum(const uint8_t *bytes, size_t count);
bool CCID_ValidateFrame(uint8_t start, uint8_t end, const uint8_t *frame, size_t length);
int CCID_ReadExact(int fd, uint8_t *buffer, uint32_t *count, uint32_t timeoutMs);
int CCID_ReadResponse(int fd, uint8_t *buffer, KYT_ULONG *length, uint32_t timeoutMs);
// Sends `message` and brings the reader's response message back into
// `reply` (capacity *replyLength in, message length out).
int CCID_Transceive(CcidLink *link, const uint8_t *message, KYT_ULONG messageLength, uint8_t *reply,
                    KYT_ULONG *replyLength);

#endif
