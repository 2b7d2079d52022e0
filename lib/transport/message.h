// What every CCID command of the transport does alike: build the header,
// size and allocate its buffers, exchange the message and check the answer.
// Used only inside the transport.
#ifndef KYT_TRANSPORT_MESSAGE_H
#define KYT_TRANSPORT_MESSAGE_H

#include <cstdint>

#include "ccid.h"

// dwLength is 32 bits wide; longer data cannot be carried in one message.
constexpr uint64_t CCID_MAX_DATA_LENGTH = UINT32_MAX;

// Fills the header of a host-to-reader message for the link's current slot
// and takes the next sequence number: the counter moves on at once, whatever
// the exchange then brings.
void CCID_BuildHeader(CcidLink *link, uint8_t *message, uint8_t type, uint32_t dataLength, uint8_t param1,
                      uint8_t param2, uint8_t param3);

// Room for a reply of `capacity` data bytes after the header; false when
// that size does not fit a native word.
bool CCID_ReplySize(KYT_ULONG capacity, KYT_ULONG *size);

// The message and reply buffers of one command, freed whichever way the
// command returns.
struct CcidBuffers {
    uint8_t *message = nullptr;
    uint8_t *reply = nullptr;
    KYT_ULONG replySize = 0; // header and room for the caller's capacity

    CcidBuffers() = default;
    ~CcidBuffers();
    CcidBuffers(const CcidBuffers &) = delete;
    CcidBuffers &operator=(const CcidBuffers &) = delete;
};

// Allocates the message buffer for `dataLength` data bytes and the reply
// buffer for `capacity` data bytes.  E2BIG for data that no message can
// carry, ENOMEM when a size wraps or an allocation fails.
int CCID_AllocateBuffers(KYT_ULONG dataLength, KYT_ULONG capacity, CcidBuffers *buffers);

// One message out, its answer back and checked.  On success *replyLength is
// the length of a response message of at least the header's size.
int CCID_Exchange(CcidLink *link, const uint8_t *message, KYT_ULONG messageLength, uint8_t *reply,
                  KYT_ULONG *replyLength, uint8_t expectedType);

// Hands the data of a checked response to the caller, bounded by the
// caller's capacity in *length.
int CCID_CopyResponseData(const uint8_t *reply, KYT_ULONG replyLength, uint8_t *data, KYT_ULONG *length);

#endif
