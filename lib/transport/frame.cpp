// Serial frame link: one CCID message out, one back.
//
// The reader answers each command frame with a 4-byte acknowledge frame and
// then with its response frame; a damaged or missing response is asked for
// again with the repeat request.
#include "frame.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "byte_order.h"
#include "ccid.h"
#include "comport.h"

namespace {

// A response frame as it arrives: once the start byte and the 10-byte
// header are in, dwLength at frame offsets 2 to 5 gives the frame's length,
// dwLength + 13.
//
//   0       1      2 .. 5     6 .. 10          11 ...          then
//   +-------+------+----------+----------------+---------------+-----+-----+
//   | start | type | dwLength | rest of header | dwLength data | XOR | end |
//   +-------+------+----------+----------------+---------------+-----+-----+
constexpr unsigned FRAME_OFFSET_MESSAGE = 1;
constexpr unsigned FRAME_OFFSET_LENGTH = FRAME_OFFSET_MESSAGE + CCID_OFFSET_LENGTH;
constexpr unsigned FRAME_HEADER_SIZE = FRAME_OFFSET_MESSAGE + CCID_HEADER_SIZE;
constexpr unsigned ACK_OFFSET_STATUS = 1;

// The longest response a reader of this family can have a reason to send:
// an extended-length response APDU (65536 data bytes and SW1 SW2) in one
// data block.  A frame that announces more than this and more than the
// caller's room is not read to its end: at 9600 bit/s a hostile dwLength
// near 4 GiB would keep the host reading for days.  Frames up to this size
// that do not fit are still drained so that the line stays in step.
constexpr uint64_t LARGEST_RESPONSE_DATA = 65536 + 2;
constexpr uint64_t FRAME_DRAIN_LIMIT = LARGEST_RESPONSE_DATA + CCID_HEADER_SIZE + FRAME_OVERHEAD;

// The serial layer counts bytes and milliseconds in 32 bits; the reader
// record counts them in native words.
constexpr uint64_t SERIAL_COUNT_MAX = UINT32_MAX;

uint32_t ClampTimeout(KYT_ULONG timeoutMs)
{
    return timeoutMs > SERIAL_COUNT_MAX ? UINT32_MAX : static_cast<uint32_t>(timeoutMs);
}

KYT_ULONG ClampLength(uint64_t length)
{
    constexpr KYT_ULONG largest = static_cast<KYT_ULONG>(-1);
    return length > largest ? largest : static_cast<KYT_ULONG>(length);
}

bool WriteAll(int fd, const uint8_t *bytes, size_t count)
{
    uint32_t written = 0;
    return ComPort_Write(fd, bytes, static_cast<uint32_t>(count), &written) && written == count;
}

// Every frame on the line, command and response alike:
//
//   +-------+------------------------------------+------------+-------+
//   | start | CCID message: 10-byte header, then | XOR of the | end   |
//   | 02    | dwLength data bytes                | message    | 03    |
//   +-------+------------------------------------+------------+-------+
//     0       1 .. n                               n + 1        n + 2
void BuildFrame(uint8_t start, uint8_t end, const uint8_t *message, size_t length, uint8_t *frame)
{
    frame[0] = start;
    if (length > 0)
        memcpy(frame + FRAME_OFFSET_MESSAGE, message, length);
    frame[FRAME_OFFSET_MESSAGE + length] = CCID_CalcChecksum(message, length);
    frame[FRAME_OFFSET_MESSAGE + length + 1] = end;
}

// The reader's answer to a command frame, a frame around one status byte:
//
//   +-------+--------+-------------------+-----+
//   | start | status | checksum (status) | end |      accepted: 02 00 00 03
//   +-------+--------+-------------------+-----+
//
// Accepted only when well framed and its status byte is 0x00.  Every other
// status is a refusal.
bool AckAccepted(const CcidLink *link, const uint8_t *ack)
{
    return CCID_ValidateFrame(link->responseStart, link->responseEnd, ack, ACK_FRAME_SIZE) &&
           ack[ACK_OFFSET_STATUS] == ACK_STATUS_OK;
}

// Sends the command frame until the reader acknowledges it.  Each attempt
// starts on a clean line, so a late acknowledge or the remains of an earlier
// answer cannot be taken for this one.  The attempt count is computed in
// native words: an all-ones retry count wraps to no attempt at all.
int SendCommandFrame(CcidLink *link, const uint8_t *frame, size_t frameLength)
{
    KYT_ULONG attempts = link->statusRetries + 1;
    uint32_t timeout = ClampTimeout(link->statusTimeout);
    for (KYT_ULONG attempt = 0; attempt < attempts; attempt++) {
        ComPort_ClearBuffer(link->comPort);
        if (!WriteAll(link->comPort, frame, frameLength))
            continue;
        uint8_t ack[ACK_FRAME_SIZE];
        uint32_t count = ACK_FRAME_SIZE;
        if (CCID_ReadExact(link->comPort, ack, &count, timeout) != 0)
            continue;
        if (AckAccepted(link, ack))
            return 0;
    }
    return EIO;
}

// A response frame is as long as its header says.  The last chunk of a read
// may carry bytes past the frame's end, and frames that run into each other
// can pass the checks on start, end and XOR as a whole: the frame plus a
// damaged acknowledge, or plus a refused acknowledge and a repeated frame.
// Such a run is a damaged frame, not a longer message.
bool HasAnnouncedLength(const uint8_t *frame, KYT_ULONG length)
{
    if (length < FRAME_HEADER_SIZE)
        return false;
    uint64_t announced =
        static_cast<uint64_t>(ReadLittleEndian32(frame + FRAME_OFFSET_LENGTH)) + CCID_HEADER_SIZE + FRAME_OVERHEAD;
    return announced == length;
}

// The host's request for the reader's last response frame: a frame around
// an all-zero 10-byte message, which no command can be (type 00).  It takes
// no sequence number and is not acknowledged.
//
//   +-------+-------------------------------+----------+-----+
//   | start | 00 00 00 00 00 00 00 00 00 00 | XOR = 00 | end |
//   +-------+-------------------------------+----------+-----+
void BuildRepeatRequest(const CcidLink *link, uint8_t *request)
{
    const uint8_t allZero[CCID_HEADER_SIZE] = {};
    BuildFrame(link->commandStart, link->commandEnd, allZero, sizeof allZero, request);
}

// Reads the response frame into `frame` (capacity `frameCapacity`), asking
// for it again after every damaged or missing one.  On success *frameLength
// is the length of a validated frame.
int ReceiveResponseFrame(CcidLink *link, uint8_t *frame, KYT_ULONG frameCapacity, KYT_ULONG *frameLength)
{
    uint8_t repeatRequest[REPEAT_REQUEST_SIZE];
    BuildRepeatRequest(link, repeatRequest);

    KYT_ULONG attempts = link->responseRetries + 1;
    uint32_t timeout = ClampTimeout(link->responseTimeout);
    for (KYT_ULONG attempt = 0; attempt < attempts; attempt++) {
        KYT_ULONG length = frameCapacity;
        int result = CCID_ReadResponse(link->comPort, frame, &length, timeout);
        // A frame too long for the caller was read to its end (or as far as
        // it is sane to read); asking for it again would bring the same.
        if (result == E2BIG)
            return E2BIG;
        if (result == 0 && CCID_ValidateFrame(link->responseStart, link->responseEnd, frame, length) &&
            HasAnnouncedLength(frame, length)) {
            *frameLength = length;
            return 0;
        }
        // The reader answers the repeat request with its last response
        // frame; what it sends is read as the next attempt, without
        // discarding anything in between.
        WriteAll(link->comPort, repeatRequest, sizeof repeatRequest);
    }
    return EIO;
}

} // namespace

uint8_t CCID_CalcChecksum(const uint8_t *bytes, size_t count)
{
    uint8_t checksum = 0;
    for (size_t i = 0; i < count; i++)
        checksum ^= bytes[i];
    return checksum;
}

bool CCID_ValidateFrame(uint8_t start, uint8_t end, const uint8_t *frame, size_t length)
{
    if (length < ACK_FRAME_SIZE)
        return false;
    if (frame[0] != start || frame[length - 1] != end)
        return false;
    size_t messageLength = length - FRAME_OVERHEAD;
    return frame[length - 2] == CCID_CalcChecksum(frame + FRAME_OFFSET_MESSAGE, messageLength);
}

// Asks the port only for the bytes still missing, so that whatever the
// reader sends after them (the start of its response after an acknowledge)
// stays in the port for the next read.
int CCID_ReadExact(int fd, uint8_t *buffer, uint32_t *count, uint32_t timeoutMs)
{
    uint32_t wanted = *count;
    uint32_t received = 0;
    while (received < wanted) {
        uint32_t got = 0;
        if (!ComPort_Read(fd, buffer + received, wanted - received, &got, timeoutMs) || got == 0 ||
            got > wanted - received) {
            *count = received;
            return EIO;
        }
        received += got;
    }
    *count = received;
    return 0;
}

// Reads one response frame in chunks of up to 64 bytes until the length that
// its header announces has arrived.  Bytes beyond the capacity are counted
// but not stored, so an oversized frame is drained and reported as E2BIG.
// Reads are not cut inside a chunk: bytes after the frame's end in the last
// chunk are counted too, and the frame is then refused as damaged.
int CCID_ReadResponse(int fd, uint8_t *buffer, KYT_ULONG *length, uint32_t timeoutMs)
{
    const KYT_ULONG capacity = *length;
    // The header is kept apart from the caller's buffer so that dwLength can
    // be read even when the capacity is smaller than the header.
    uint8_t header[FRAME_HEADER_SIZE];
    uint64_t received = 0;
    uint64_t expected = 0; // unknown until the header is in

    while (expected == 0 || received < expected) {
        uint8_t chunk[READ_CHUNK_SIZE];
        uint32_t got = 0;
        if (!ComPort_Read(fd, chunk, READ_CHUNK_SIZE, &got, timeoutMs) || got == 0 || got > READ_CHUNK_SIZE)
            return EIO;

        for (uint32_t i = 0; i < got; i++) {
            uint64_t position = received + i;
            if (position < FRAME_HEADER_SIZE)
                header[position] = chunk[i];
            if (position < capacity)
                buffer[position] = chunk[i];
        }
        received += got;

        if (expected == 0 && received >= FRAME_HEADER_SIZE) {
            uint32_t dwLength = ReadLittleEndian32(header + FRAME_OFFSET_LENGTH);
            expected = static_cast<uint64_t>(dwLength) + CCID_HEADER_SIZE + FRAME_OVERHEAD;
            if (expected > capacity && expected > FRAME_DRAIN_LIMIT) {
                // Not worth reading: the next exchange begins by discarding
                // whatever is still pending on the line.
                *length = ClampLength(received);
                return E2BIG;
            }
        }
    }

    *length = ClampLength(received);
    return received > capacity ? E2BIG : 0;
}

int CCID_Transceive(CcidLink *link, const uint8_t *message, KYT_ULONG messageLength, uint8_t *reply,
                    KYT_ULONG *replyLength)
{
    // The whole command frame goes out in one write, whose count the serial
    // layer takes in 32 bits.
    if (messageLength > SERIAL_COUNT_MAX - FRAME_OVERHEAD)
        return E2BIG;
    // A capacity whose frame size would wrap cannot be allocated anyway.
    if (*replyLength > static_cast<KYT_ULONG>(-1) - FRAME_OVERHEAD)
        return ENOMEM;

    size_t commandFrameLength = messageLength + FRAME_OVERHEAD;
    KYT_ULONG responseCapacity = *replyLength + FRAME_OVERHEAD;
    uint8_t *commandFrame = static_cast<uint8_t *>(malloc(commandFrameLength));
    if (commandFrame == nullptr)
        return ENOMEM;
    uint8_t *responseFrame = static_cast<uint8_t *>(malloc(responseCapacity));
    if (responseFrame == nullptr) {
        free(commandFrame);
        return ENOMEM;
    }

    BuildFrame(link->commandStart, link->commandEnd, message, messageLength, commandFrame);

    int result = SendCommandFrame(link, commandFrame, commandFrameLength);
    KYT_ULONG frameLength = 0;
    if (result == 0)
        result = ReceiveResponseFrame(link, responseFrame, responseCapacity, &frameLength);
    if (result == 0) {
        // A validated frame is at least 4 bytes and no longer than the
        // capacity, so the message fits the caller's buffer.
        KYT_ULONG received = frameLength - FRAME_OVERHEAD;
        memcpy(reply, responseFrame + FRAME_OFFSET_MESSAGE, received);
        *replyLength = received;
    }

    free(responseFrame);
    free(commandFrame);
    return result;
}
