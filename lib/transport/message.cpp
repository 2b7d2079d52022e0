// The CCID message header: built for every command, checked in every answer.
#include "message.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "byte_order.h"

namespace {

constexpr KYT_ULONG NATIVE_MAX = static_cast<KYT_ULONG>(-1);

} // namespace

// Host to reader:
//
//   offset  0      1 .. 4     5       6      7        8        9
//         +------+----------+-------+------+--------+--------+--------+
//         | type | dwLength | bSlot | bSeq | param1 | param2 | param3 |
//         +------+----------+-------+------+--------+--------+--------+
//
// The three command bytes are bPowerSelect and two zeros for IccPowerOn,
// bBWI and wLevelParameter for XfrBlock, bProtocolNum and abRFU for
// SetParameters, and zeros for the others.
void CCID_BuildHeader(CcidLink *link, uint8_t *message, uint8_t type, uint32_t dataLength, uint8_t param1,
                      uint8_t param2, uint8_t param3)
{
    message[CCID_OFFSET_TYPE] = type;
    WriteLittleEndian32(message + CCID_OFFSET_LENGTH, dataLength);
    message[CCID_OFFSET_SLOT] = link->currentSlot;
    message[CCID_OFFSET_SEQ] = link->sequenceNumber;
    link->sequenceNumber = static_cast<uint8_t>(link->sequenceNumber + 1);
    message[CCID_OFFSET_PARAM1] = param1;
    message[CCID_OFFSET_PARAM1 + 1] = param2;
    message[CCID_OFFSET_PARAM1 + 2] = param3;
}

bool CCID_ReplySize(KYT_ULONG capacity, KYT_ULONG *size)
{
    if (capacity > NATIVE_MAX - CCID_HEADER_SIZE)
        return false;
    *size = capacity + CCID_HEADER_SIZE;
    return true;
}

CcidBuffers::~CcidBuffers()
{
    free(reply);
    free(message);
}

int CCID_AllocateBuffers(KYT_ULONG dataLength, KYT_ULONG capacity, CcidBuffers *buffers)
{
    if (dataLength > NATIVE_MAX - CCID_HEADER_SIZE)
        return E2BIG;
    if (!CCID_ReplySize(capacity, &buffers->replySize))
        return ENOMEM;
    buffers->message = static_cast<uint8_t *>(malloc(dataLength + CCID_HEADER_SIZE));
    if (buffers->message == nullptr)
        return ENOMEM;
    buffers->reply = static_cast<uint8_t *>(malloc(buffers->replySize));
    return buffers->reply != nullptr ? 0 : ENOMEM;
}

int CCID_Exchange(CcidLink *link, const uint8_t *message, KYT_ULONG messageLength, uint8_t *reply,
                  KYT_ULONG *replyLength, uint8_t expectedType)
{
    int result = CCID_Transceive(link, message, messageLength, reply, replyLength);
    if (result != 0)
        return result;
    return CCID_CheckResponse(link, reply, *replyLength, expectedType);
}

int CCID_CopyResponseData(const uint8_t *reply, KYT_ULONG replyLength, uint8_t *data, KYT_ULONG *length)
{
    KYT_ULONG dataLength = replyLength - CCID_HEADER_SIZE;
    if (dataLength > *length)
        return E2BIG;
    if (dataLength > 0)
        memcpy(data, reply + CCID_HEADER_SIZE, dataLength);
    *length = dataLength;
    return 0;
}

// Reader to host:
//
//   offset  0      1 .. 4     5       6      7         8        9
//         +------+----------+-------+------+---------+--------+--------+
//         | type | dwLength | bSlot | bSeq | bStatus | bError | bChain |
//         +------+----------+-------+------+---------+--------+--------+
//   bStatus: bits 7-6 command status (0 processed, 1 failed, 2 time
//   extension), bits 1-0 card status (0 active, 1 present, 2 absent).
//
// The answer must be of the expected type and carry the slot and bSeq of the
// command just sent; dwLength was the frame link's business.
int CCID_CheckResponse(const CcidLink *link, const uint8_t *message, KYT_ULONG messageLength, uint8_t expectedType)
{
    if (messageLength < CCID_HEADER_SIZE)
        return EIO;
    if (message[CCID_OFFSET_TYPE] != expectedType)
        return EIO;
    if (message[CCID_OFFSET_SLOT] != link->currentSlot)
        return EIO;
    uint8_t sentSeq = static_cast<uint8_t>(link->sequenceNumber - 1);
    if (message[CCID_OFFSET_SEQ] != sentSeq)
        return EIO;

    uint8_t status = message[CCID_OFFSET_STATUS];
    uint8_t commandStatus = (status & CCID_COMMAND_STATUS_MASK) >> CCID_COMMAND_STATUS_SHIFT;
    if (commandStatus == CCID_COMMAND_PROCESSED)
        return 0;
    // Time extension and the reserved value are not waited out.
    if (commandStatus != CCID_COMMAND_FAILED)
        return EIO;
    // Only a mute card is told apart, by what the reader knows of the slot.
    if (message[CCID_OFFSET_ERROR] != CCID_ERROR_ICC_MUTE)
        return EIO;
    switch (status & CCID_ICC_STATUS_MASK) {
    case CCID_ICC_INACTIVE:
        return ETIMEDOUT;
    case CCID_ICC_ABSENT:
        return ENOMEDIUM;
    default:
        return EIO;
    }
}
