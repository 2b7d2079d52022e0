// CCID bulk messages of the reader: power on and off, slot status, vendor
// escape and APDU transfer with command and response chaining.
//
// Each command builds its 10-byte header, takes the next sequence number,
// sends the message through CCID_Transceive and checks the reader's answer
// with CCID_CheckResponse before it uses any of it.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <cstdint>

#include "ccid.h"

namespace {

// A chained response in which the reader keeps saying "more follows" without
// sending any data, once the whole command is out, is not going anywhere.
// After this many such empty replies in a row the exchange is given up.
constexpr unsigned CCID_MAX_EMPTY_CONTINUATIONS = 16;

// dwLength is 32 bits wide; longer data cannot be carried in one message.
constexpr uint64_t CCID_MAX_DATA_LENGTH = UINT32_MAX;

constexpr KYT_ULONG NATIVE_MAX = static_cast<KYT_ULONG>(-1);

void WriteLittleEndian32(uint8_t *bytes, uint32_t value)
{
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
    bytes[2] = static_cast<uint8_t>(value >> 16);
    bytes[3] = static_cast<uint8_t>(value >> 24);
}

// Fills the header of a host-to-reader message.  The sequence number is
// taken here and the counter moves on at once, whatever the exchange then
// brings.
void BuildHeader(ReaderDevice *device, uint8_t *message, uint8_t type, uint32_t dataLength, uint8_t param1,
                 uint8_t param2, uint8_t param3)
{
    message[CCID_OFFSET_TYPE] = type;
    WriteLittleEndian32(message + CCID_OFFSET_LENGTH, dataLength);
    message[CCID_OFFSET_SLOT] = device->currentSlot;
    message[CCID_OFFSET_SEQ] = device->sequenceNumber;
    device->sequenceNumber = static_cast<uint8_t>(device->sequenceNumber + 1);
    message[CCID_OFFSET_PARAM1] = param1;
    message[CCID_OFFSET_PARAM1 + 1] = param2;
    message[CCID_OFFSET_PARAM1 + 2] = param3;
}

// Room for a reply of `capacity` data bytes after the header; false when
// that size does not fit a native word.
bool ReplySize(KYT_ULONG capacity, KYT_ULONG *size)
{
    if (capacity > NATIVE_MAX - CCID_HEADER_SIZE)
        return false;
    *size = capacity + CCID_HEADER_SIZE;
    return true;
}

// Allocates the message buffer for `dataLength` data bytes and the reply
// buffer for `capacity` data bytes.  E2BIG for data that no message can
// carry, ENOMEM when a size wraps or an allocation fails; nothing is left
// allocated on failure.
int AllocateBuffers(KYT_ULONG dataLength, KYT_ULONG capacity, uint8_t **message, uint8_t **reply,
                    KYT_ULONG *replySize)
{
    if (dataLength > NATIVE_MAX - CCID_HEADER_SIZE)
        return E2BIG;
    if (!ReplySize(capacity, replySize))
        return ENOMEM;
    *message = static_cast<uint8_t *>(malloc(dataLength + CCID_HEADER_SIZE));
    if (*message == nullptr)
        return ENOMEM;
    *reply = static_cast<uint8_t *>(malloc(*replySize));
    if (*reply == nullptr) {
        free(*message);
        *message = nullptr;
        return ENOMEM;
    }
    return 0;
}

// One message out, its answer back and checked.  On success *replyLength is
// the length of a response message of at least the header's size.
int Exchange(ReaderDevice *device, const uint8_t *message, KYT_ULONG messageLength, uint8_t *reply,
             KYT_ULONG *replyLength, uint8_t expectedType)
{
    int result = CCID_Transceive(device, message, messageLength, reply, replyLength);
    if (result != 0)
        return result;
    return CCID_CheckResponse(device, reply, *replyLength, expectedType);
}

// Hands the data of a checked response to the caller, bounded by the
// caller's capacity in *length.
int CopyResponseData(const uint8_t *reply, KYT_ULONG replyLength, uint8_t *data, KYT_ULONG *length)
{
    KYT_ULONG dataLength = replyLength - CCID_HEADER_SIZE;
    if (dataLength > *length)
        return E2BIG;
    if (dataLength > 0)
        memcpy(data, reply + CCID_HEADER_SIZE, dataLength);
    *length = dataLength;
    return 0;
}

// The commands without data: a 10-byte message and a 10-byte slot status
// answer, both on the stack.
int SlotStatusCommand(ReaderDevice *device, uint8_t type, uint8_t *status)
{
    uint8_t message[CCID_HEADER_SIZE];
    uint8_t reply[CCID_HEADER_SIZE];
    KYT_ULONG replyLength = sizeof reply;
    BuildHeader(device, message, type, 0, 0, 0, 0);
    int result = Exchange(device, message, sizeof message, reply, &replyLength, RDR_TO_PC_SLOTSTATUS);
    if (result == 0 || result == ENOMEDIUM)
        *status = reply[CCID_OFFSET_STATUS];
    return result;
}

// Where a chained APDU exchange stands.
struct XfrState {
    const uint8_t *command;
    KYT_ULONG commandLength;
    bool started;           // the first block has gone out
    KYT_ULONG sent;         // command bytes the reader has taken
    KYT_ULONG blockLimit;   // most command bytes in one message
    uint8_t *response;
    KYT_ULONG received;     // response bytes stored for the caller
    KYT_ULONG room;         // caller's capacity still free
    unsigned emptyReplies;  // empty "more follows" answers in a row
};

// Builds the next transfer block into `message`; returns its data length.
// The first block opens the chain; later blocks continue it; once the
// command is out, empty blocks ask for the rest of the response.
KYT_ULONG BuildXfrBlock(ReaderDevice *device, XfrState *xfr, uint8_t *message)
{
    KYT_ULONG remaining = xfr->commandLength - xfr->sent;
    bool first = !xfr->started;
    xfr->started = true;
    KYT_ULONG blockSize = remaining > xfr->blockLimit ? xfr->blockLimit : remaining;
    uint16_t level;
    if (first)
        level = remaining > xfr->blockLimit ? CCID_LEVEL_BEGIN : CCID_LEVEL_BEGIN_AND_END;
    else if (remaining == 0)
        level = CCID_LEVEL_NEXT_RESPONSE;
    else
        level = remaining > xfr->blockLimit ? CCID_LEVEL_CONTINUE : CCID_LEVEL_END;

    const uint8_t bwi = 0;
    BuildHeader(device, message, PC_TO_RDR_XFRBLOCK, static_cast<uint32_t>(blockSize), bwi,
                static_cast<uint8_t>(level), static_cast<uint8_t>(level >> 8));
    if (blockSize > 0)
        memcpy(message + CCID_HEADER_SIZE, xfr->command + xfr->sent, blockSize);
    return blockSize;
}

// Takes the data of one data block and decides from its chain parameter
// whether the response is complete (0), goes on (EAGAIN) or is broken.
int TakeDataBlock(XfrState *xfr, const uint8_t *reply, KYT_ULONG replyLength)
{
    KYT_ULONG dataLength = replyLength - CCID_HEADER_SIZE;
    if (dataLength > xfr->room)
        return E2BIG;
    if (dataLength > 0) {
        memcpy(xfr->response + xfr->received, reply + CCID_HEADER_SIZE, dataLength);
        xfr->received += dataLength;
        xfr->room -= dataLength;
    }

    switch (reply[CCID_OFFSET_CHAIN]) {
    case CCID_CHAIN_BEGIN_AND_END:
    case CCID_CHAIN_END:
        return 0;
    case CCID_CHAIN_BEGIN:
    case CCID_CHAIN_CONTINUE:
    case CCID_CHAIN_NEXT_COMMAND:
        if (xfr->sent < xfr->commandLength || dataLength > 0) {
            xfr->emptyReplies = 0;
        } else if (++xfr->emptyReplies >= CCID_MAX_EMPTY_CONTINUATIONS) {
            return EIO;
        }
        return EAGAIN;
    default:
        return EIO;
    }
}

} // namespace

int CCID_CheckResponse(ReaderDevice *device, const uint8_t *message, KYT_ULONG messageLength,
                       uint8_t expectedType)
{
    if (messageLength < CCID_HEADER_SIZE)
        return EIO;
    if (message[CCID_OFFSET_TYPE] != expectedType)
        return EIO;
    if (message[CCID_OFFSET_SLOT] != device->currentSlot)
        return EIO;
    uint8_t sentSeq = static_cast<uint8_t>(device->sequenceNumber - 1);
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

int CCID_IccPowerOn(ReaderDevice *device, uint8_t *atr, KYT_ULONG *atrLength)
{
    KYT_ULONG replyLength;
    if (!ReplySize(*atrLength, &replyLength))
        return ENOMEM;
    uint8_t *reply = static_cast<uint8_t *>(malloc(replyLength));
    if (reply == nullptr)
        return ENOMEM;

    uint8_t message[CCID_HEADER_SIZE];
    BuildHeader(device, message, PC_TO_RDR_ICCPOWERON, 0, device->powerSelect, 0, 0);
    int result = Exchange(device, message, sizeof message, reply, &replyLength, RDR_TO_PC_DATABLOCK);
    if (result == 0)
        result = CopyResponseData(reply, replyLength, atr, atrLength);

    free(reply);
    return result;
}

int CCID_IccPowerOff(ReaderDevice *device)
{
    uint8_t status;
    return SlotStatusCommand(device, PC_TO_RDR_ICCPOWEROFF, &status);
}

// The card status is reported when the reader answered the question, which
// includes its "no card" answer.
int CCID_GetSlotStatus(ReaderDevice *device, uint8_t *cardStatus)
{
    uint8_t status;
    int result = SlotStatusCommand(device, PC_TO_RDR_GETSLOTSTATUS, &status);
    if (result == 0 || result == ENOMEDIUM)
        *cardStatus = status & CCID_ICC_STATUS_MASK;
    return result;
}

// An escape command always travels in one message, however long.
int CCID_Escape(ReaderDevice *device, const uint8_t *command, KYT_ULONG commandLength, uint8_t *response,
                KYT_ULONG *responseLength)
{
    if (commandLength > CCID_MAX_DATA_LENGTH)
        return E2BIG;
    uint8_t *message;
    uint8_t *reply;
    KYT_ULONG replyLength;
    int result = AllocateBuffers(commandLength, *responseLength, &message, &reply, &replyLength);
    if (result != 0)
        return result;

    BuildHeader(device, message, PC_TO_RDR_ESCAPE, static_cast<uint32_t>(commandLength), 0, 0, 0);
    if (commandLength > 0)
        memcpy(message + CCID_HEADER_SIZE, command, commandLength);
    result = Exchange(device, message, commandLength + CCID_HEADER_SIZE, reply, &replyLength, RDR_TO_PC_ESCAPE);
    if (result == 0)
        result = CopyResponseData(reply, replyLength, response, responseLength);

    free(reply);
    free(message);
    return result;
}

// Sends the command APDU in blocks of at most maxBlockSize bytes and joins
// the response blocks in the caller's buffer.  The reader's chain parameter
// says whether more is to come; what goes out next depends only on whether
// command bytes are left: the next block, or an empty request for the next
// part of the response.
int CCID_XfrBlock(ReaderDevice *device, const uint8_t *command, KYT_ULONG commandLength, uint8_t *response,
                  KYT_ULONG *responseLength)
{
    // A block size of 0 could never carry the command.
    if (device->maxBlockSize == 0)
        return EINVAL;
    KYT_ULONG blockLimit = device->maxBlockSize;
    if (blockLimit > CCID_MAX_DATA_LENGTH)
        blockLimit = static_cast<KYT_ULONG>(CCID_MAX_DATA_LENGTH);

    uint8_t *message;
    uint8_t *reply;
    KYT_ULONG replySize;
    int result = AllocateBuffers(commandLength, *responseLength, &message, &reply, &replySize);
    if (result != 0)
        return result;

    XfrState xfr = {command, commandLength, false, 0, blockLimit, response, 0, *responseLength, 0};
    do {
        KYT_ULONG blockSize = BuildXfrBlock(device, &xfr, message);
        KYT_ULONG replyLength = replySize;
        result = CCID_Transceive(device, message, blockSize + CCID_HEADER_SIZE, reply, &replyLength);
        if (result != 0)
            break;
        xfr.sent += blockSize;
        result = CCID_CheckResponse(device, reply, replyLength, RDR_TO_PC_DATABLOCK);
        if (result != 0)
            break;
        result = TakeDataBlock(&xfr, reply, replyLength);
    } while (result == EAGAIN);

    if (result == 0)
        *responseLength = xfr.received;
    free(reply);
    free(message);
    return result;
}
