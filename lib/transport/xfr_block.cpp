// APDU exchange: a command APDU longer than the reader's block size goes out
// in a chain of XfrBlock messages, and a response the reader sends in
// blocks is asked for part by part and joined in the caller's buffer.
#include <errno.h>
#include <string.h>

#include "byte_order.h"
#include "message.h"

namespace {

// A chained response in which the reader keeps saying "more follows" without
// sending any data, once the whole command is out, is not going anywhere.
// After this many such empty replies in a row the exchange is given up.
constexpr unsigned CCID_MAX_EMPTY_CONTINUATIONS = 16;

// bBWI: the reader's own block waiting time is used.
constexpr uint8_t XFR_BWI_DEFAULT = 0;

// Where a chained APDU exchange stands.
struct XfrState {
    const uint8_t *command;
    KYT_ULONG commandLength;
    bool started;         // the first block has gone out
    KYT_ULONG sent;       // command bytes the reader has taken
    KYT_ULONG blockLimit; // most command bytes in one message
    uint8_t *response;
    KYT_ULONG received;    // response bytes stored for the caller
    KYT_ULONG room;        // caller's capacity still free
    unsigned emptyReplies; // empty "more follows" answers in a row
};

// wLevelParameter of the next block: the first block opens the chain (or is
// the whole command), later blocks continue or end it, and once the command
// is out an empty block asks for the next part of the response.
uint16_t NextLevel(const XfrState *xfr, KYT_ULONG remaining)
{
    bool more = remaining > xfr->blockLimit;
    if (!xfr->started)
        return more ? CCID_LEVEL_BEGIN : CCID_LEVEL_BEGIN_AND_END;
    if (remaining == 0)
        return CCID_LEVEL_NEXT_RESPONSE;
    return more ? CCID_LEVEL_CONTINUE : CCID_LEVEL_END;
}

// Builds the next transfer block into `message`; returns its data length.
//
//   offset  0    1 .. 4     5       6      7      8 .. 9            10 ...
//         +----+----------+-------+------+------+-----------------+--------+
//         | 6F | dwLength | bSlot | bSeq | bBWI | wLevelParameter | block  |
//         +----+----------+-------+------+------+-----------------+--------+
KYT_ULONG BuildXfrBlock(CcidLink *link, XfrState *xfr, uint8_t *message)
{
    KYT_ULONG remaining = xfr->commandLength - xfr->sent;
    KYT_ULONG blockSize = remaining > xfr->blockLimit ? xfr->blockLimit : remaining;
    uint8_t level[2];
    WriteLittleEndian16(level, NextLevel(xfr, remaining));
    xfr->started = true;

    CCID_BuildHeader(link, message, PC_TO_RDR_XFRBLOCK, static_cast<uint32_t>(blockSize), XFR_BWI_DEFAULT, level[0],
                     level[1]);
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

// Sends the command APDU in blocks of at most maxBlockSize bytes and joins
// the response blocks in the caller's buffer.  The reader's chain parameter
// says whether more is to come; what goes out next depends only on whether
// command bytes are left: the next block, or an empty request for the next
// part of the response.
int CCID_XfrBlock(CcidLink *link, const uint8_t *command, KYT_ULONG commandLength, uint8_t *response,
                  KYT_ULONG *responseLength)
{
    // A block size of 0 could never carry the command.
    if (link->maxBlockSize == 0)
        return EINVAL;
    KYT_ULONG blockLimit = link->maxBlockSize;
    if (blockLimit > CCID_MAX_DATA_LENGTH)
        blockLimit = static_cast<KYT_ULONG>(CCID_MAX_DATA_LENGTH);

    CcidBuffers buffers;
    int result = CCID_AllocateBuffers(commandLength, *responseLength, &buffers);
    if (result != 0)
        return result;

    XfrState xfr = {command, commandLength, false, 0, blockLimit, response, 0, *responseLength, 0};
    do {
        KYT_ULONG blockSize = BuildXfrBlock(link, &xfr, buffers.message);
        KYT_ULONG replyLength = buffers.replySize;
        result = CCID_Transceive(link, buffers.message, blockSize + CCID_HEADER_SIZE, buffers.reply, &replyLength);
        if (result != 0)
            return result;
        xfr.sent += blockSize;
        result = CCID_CheckResponse(link, buffers.reply, replyLength, RDR_TO_PC_DATABLOCK);
        if (result != 0)
            return result;
        result = TakeDataBlock(&xfr, buffers.reply, replyLength);
    } while (result == EAGAIN);

    if (result == 0)
        *responseLength = xfr.received;
    return result;
}
