// IFDHGetCapabilities and IFDHSetCapabilities: the tags pcscd asks the
// handler about, and the reader attributes PC/SC clients read with
// SCardGetAttrib.  Every attribute is read-only.
//
// Numbers are 32-bit values in the host's byte order, as Windows defines
// the attributes and pcsc-lite's clients read them, whatever the width of
// the C type DWORD (8 bytes on 64-bit Linux); texts end with a NUL.
#include <stdint.h>
#include <string.h>

extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}

#include "ifd_kyt.h"
#include "log.h"
#include "presence.h"
#include "readers.h"
#include "status.h"

using namespace ifdkyt;

namespace {

constexpr char kVendorName[] = "KYT";
// The longest command APDU the library carries (it chains any length): an
// extended one, 4 header bytes, a 3-byte Lc, 65535 data bytes and a 2-byte Le.
constexpr uint32_t kMaxInput = 4 + 3 + 65535 + 2;

// SCARD_ATTR_ICC_PRESENCE: 0 no card, 2 a card (this reader cannot
// swallow one).
constexpr unsigned char kIccAbsent = 0;
constexpr unsigned char kIccPresent = 2;

RESPONSECODE PutBytes(const void *value, DWORD length, PDWORD capacity, PUCHAR out)
{
    if (*capacity < length) {
        *capacity = 0;
        return IFD_ERROR_INSUFFICIENT_BUFFER;
    }
    if (length > 0)
        memcpy(out, value, length);
    *capacity = length;
    return IFD_SUCCESS;
}

RESPONSECODE PutByte(unsigned char value, PDWORD capacity, PUCHAR out)
{
    return PutBytes(&value, 1, capacity, out);
}

RESPONSECODE PutNumber(uint32_t value, PDWORD capacity, PUCHAR out)
{
    return PutBytes(&value, sizeof value, capacity, out);
}

RESPONSECODE PutText(const char *text, PDWORD capacity, PUCHAR out)
{
    return PutBytes(text, static_cast<DWORD>(strlen(text) + 1), capacity, out);
}

// ICC presence and contact state, asked of the reader as a poll asks.
RESPONSECODE PutIccState(const SlotUse &use, DWORD tag, PDWORD capacity, PUCHAR out)
{
    bool powered = false;
    bool present = SlotPresence(use, &powered) == IFD_SUCCESS;
    if (tag == SCARD_ATTR_ICC_PRESENCE)
        return PutByte(present ? kIccPresent : kIccAbsent, capacity, out);
    return PutByte(powered ? 1 : 0, capacity, out);
}

// pcscd's event threads wait in the handler between their polls.
RESPONSECODE PutPollingFunction(DWORD tag, PDWORD capacity, PUCHAR out)
{
    if (tag == TAG_IFD_POLLING_THREAD_WITH_TIMEOUT) {
        RESPONSECODE (*wait)(DWORD, int) = WaitForCardEvent;
        return PutBytes(&wait, sizeof wait, capacity, out);
    }
    RESPONSECODE (*stop)(DWORD) = StopCardEventWait;
    return PutBytes(&stop, sizeof stop, capacity, out);
}

RESPONSECODE PutIdentity(const SlotUse &use, DWORD tag, PDWORD capacity, PUCHAR out)
{
    ReaderIdentity identity = use.Identity();
    if (tag == SCARD_ATTR_VENDOR_IFD_TYPE) {
        if (identity.model[0] == '\0')
            return IFD_ERROR_TAG; // the reader did not tell
        return PutText(identity.model, capacity, out);
    }
    if (!identity.hasVersion)
        return IFD_ERROR_TAG;
    return PutNumber(identity.version, capacity, out);
}

// Tags about one slot of an open reader.
RESPONSECODE PutSlotTag(const SlotUse &use, DWORD tag, PDWORD capacity, PUCHAR out)
{
    switch (tag) {
    case TAG_IFD_SLOTS_NUMBER:
        return PutByte(static_cast<unsigned char>(use.NumSlots()), capacity, out);
    case TAG_IFD_ATR:
    case SCARD_ATTR_ATR_STRING: {
        unsigned char atr[MAX_ATR_SIZE];
        DWORD atrLength = use.CopyAtr(atr);
        return PutBytes(atr, atrLength, capacity, out);
    }
    case SCARD_ATTR_VENDOR_NAME:
        return PutText(kVendorName, capacity, out);
    case SCARD_ATTR_VENDOR_IFD_TYPE:
    case SCARD_ATTR_VENDOR_IFD_VERSION:
        return PutIdentity(use, tag, capacity, out);
    case SCARD_ATTR_CHANNEL_ID:
        return PutNumber(static_cast<uint32_t>(use.ChannelId()), capacity, out);
    case SCARD_ATTR_ICC_PRESENCE:
    case SCARD_ATTR_ICC_INTERFACE_STATUS:
        return PutIccState(use, tag, capacity, out);
    case SCARD_ATTR_CURRENT_PROTOCOL_TYPE:
        return PutNumber(static_cast<uint32_t>(use.Protocol()), capacity, out);
    case SCARD_ATTR_MAXINPUT:
        return PutNumber(kMaxInput, capacity, out);
    case TAG_IFD_POLLING_THREAD_WITH_TIMEOUT:
    case TAG_IFD_STOP_POLLING_THREAD:
        return PutPollingFunction(tag, capacity, out);
    default:
        return IFD_ERROR_TAG;
    }
}

} // namespace

#define IFD_EXPORT __attribute__((visibility("default")))

extern "C" {

IFD_EXPORT RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value)
{
    if (!Length || !Value)
        return IFD_COMMUNICATION_ERROR;
    // Properties of the handler itself, asked before or without a channel.
    switch (Tag) {
    case TAG_IFD_SIMULTANEOUS_ACCESS:
        return PutByte(KYT_IFD_MAX_READERS, Length, Value);
    case TAG_IFD_THREAD_SAFE:      // readers run in parallel
    case TAG_IFD_SLOT_THREAD_SAFE: // the handler serialises the slots of one reader
        return PutByte(1, Length, Value);
    case TAG_IFD_POLLING_THREAD_KILLABLE: // a cancelled thread would leave the reader's locks held
        return PutByte(0, Length, Value);
    default:
        break;
    }
    SlotUse use(Lun);
    if (!use) {
        *Length = 0;
        return IFD_COMMUNICATION_ERROR;
    }
    return use.Traced(kLogCalls, PutSlotTag(use, Tag, Length, Value), "IFDHGetCapabilities(tag 0x%lX) -> %lu bytes",
                      static_cast<unsigned long>(Tag), static_cast<unsigned long>(*Length));
}

IFD_EXPORT RESPONSECODE IFDHSetCapabilities(DWORD Lun, DWORD Tag, DWORD Length, PUCHAR Value)
{
    (void)Lun;
    (void)Length;
    (void)Value;
    switch (Tag) {
    case TAG_IFD_ATR:
    case TAG_IFD_SLOTS_NUMBER:
    case TAG_IFD_SIMULTANEOUS_ACCESS:
    case TAG_IFD_THREAD_SAFE:
    case TAG_IFD_SLOT_THREAD_SAFE:
    case SCARD_ATTR_ATR_STRING:
    case SCARD_ATTR_VENDOR_NAME:
    case SCARD_ATTR_VENDOR_IFD_TYPE:
    case SCARD_ATTR_VENDOR_IFD_VERSION:
    case SCARD_ATTR_CHANNEL_ID:
    case SCARD_ATTR_ICC_PRESENCE:
    case SCARD_ATTR_ICC_INTERFACE_STATUS:
    case SCARD_ATTR_CURRENT_PROTOCOL_TYPE:
    case SCARD_ATTR_MAXINPUT:
        return IFD_ERROR_VALUE_READ_ONLY;
    default:
        return IFD_ERROR_TAG;
    }
}

} // extern "C"
