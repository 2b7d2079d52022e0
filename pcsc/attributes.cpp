// IFDHGetCapabilities and IFDHSetCapabilities: the tags pcscd asks the
// handler about, and the reader attributes PC/SC clients read with
// SCardGetAttrib.  Every attribute is read-only.
//
// Numbers are DWORDs in the host's byte order, as pcsc-lite's clients read
// them; texts end with a NUL.
#include <string.h>

extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}

#include "ifd_kyt.h"
#include "readers.h"
#include "status.h"

using namespace ifdkyt;

namespace {

constexpr char kVendorName[] = "KYT";
// The longest command APDU the library carries (it chains any length): an
// extended one, 4 header bytes, a 3-byte Lc, 65535 data bytes and a 2-byte Le.
constexpr DWORD kMaxInput = 4 + 3 + 65535 + 2;

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

RESPONSECODE PutDword(DWORD value, PDWORD capacity, PUCHAR out)
{
    return PutBytes(&value, sizeof value, capacity, out);
}

RESPONSECODE PutText(const char *text, PDWORD capacity, PUCHAR out)
{
    return PutBytes(text, static_cast<DWORD>(strlen(text) + 1), capacity, out);
}

// ICC presence and contact state, asked of the reader each time.
RESPONSECODE PutIccState(const SlotUse &use, DWORD tag, PDWORD capacity, PUCHAR out)
{
    KYT_ULONG icc = KYT_ICC_ABSENT;
    if (use.Handle()) {
        KYT_STATUS status = KYT_GetIccStatus(use.Handle(), use.Slot(), &icc);
        bool outOfReach = use.Report(status);
        if (outOfReach || status == KYT_ERR_REMOVED_CARD)
            icc = KYT_ICC_ABSENT;
        else if (status != KYT_SUCCESS)
            return MapStatus(status, Op::Other, use.Port());
    }
    if (tag == SCARD_ATTR_ICC_PRESENCE)
        return PutByte(icc == KYT_ICC_ABSENT ? kIccAbsent : kIccPresent, capacity, out);
    return PutByte(icc == KYT_ICC_POWERED ? 1 : 0, capacity, out);
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
    return PutDword(identity.version, capacity, out);
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
        return PutDword(use.ChannelId(), capacity, out);
    case SCARD_ATTR_ICC_PRESENCE:
    case SCARD_ATTR_ICC_INTERFACE_STATUS:
        return PutIccState(use, tag, capacity, out);
    case SCARD_ATTR_CURRENT_PROTOCOL_TYPE:
        return PutDword(use.Protocol(), capacity, out);
    case SCARD_ATTR_MAXINPUT:
        return PutDword(kMaxInput, capacity, out);
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
    case TAG_IFD_SLOT_THREAD_SAFE: // libkyt serialises the slots of one reader
        return PutByte(1, Length, Value);
    default:
        break;
    }
    SlotUse use(Lun);
    if (!use) {
        *Length = 0;
        return IFD_COMMUNICATION_ERROR;
    }
    return PutSlotTag(use, Tag, Length, Value);
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
