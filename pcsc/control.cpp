// IFDHControl: the vendor escape command behind its gate, and the PC/SC v2
// part 10 feature list with its TLV properties.
#include <stdio.h>
#include <string.h>

extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}

#include "firmware.h"
#include "ifd_kyt.h"
#include "log.h"
#include "readers.h"
#include "status.h"

using namespace ifdkyt;

namespace {

constexpr unsigned char kSetSpeedCommand = 0x44;
constexpr size_t kTlvHeaderSize = 2; // tag, length

// The largest APDU data field the library carries, for
// dwMaxAPDUDataSize: an extended APDU's 65536 response bytes (its command
// data are at most 65535).
constexpr uint32_t kMaxApduDataSize = 65536;

// What the reader's escape= options let through besides the firmware
// version query, which always passes.
bool EscapeAllowed(const ReaderOptions &options, const unsigned char *command, size_t length)
{
    if (IsFirmwareQuery(command, length) || options.allEscapes)
        return true;
    for (size_t i = 0; i < options.prefixCount; i++) {
        const EscapePrefix &prefix = options.prefixes[i];
        if (length >= prefix.length && memcmp(command, prefix.bytes, prefix.length) == 0)
            return true;
    }
    return false;
}

// One feature of the feature list:
//
//   +-----+--------+-------------------------------------+
//   | tag | len 04 | control code, 4 bytes, big-endian   |
//   +-----+--------+-------------------------------------+
size_t PutFeature(unsigned char *out, unsigned char tag, unsigned long code)
{
    out[0] = tag;
    out[1] = 4;
    for (int i = 0; i < 4; i++)
        out[2 + i] = static_cast<unsigned char>(code >> (24 - 8 * i));
    return kTlvHeaderSize + 4;
}

// One TLV property: tag, length, then the value, numbers little-endian.
size_t PutProperty(unsigned char *out, unsigned char tag, uint32_t value, size_t size)
{
    out[0] = tag;
    out[1] = static_cast<unsigned char>(size);
    for (size_t i = 0; i < size; i++)
        out[2 + i] = static_cast<unsigned char>(value >> (8 * i));
    return kTlvHeaderSize + size;
}

RESPONSECODE Reply(const unsigned char *bytes, size_t length, PUCHAR out, DWORD capacity, LPDWORD returned)
{
    if (!out || capacity < length)
        return IFD_ERROR_INSUFFICIENT_BUFFER;
    memcpy(out, bytes, length);
    if (returned)
        *returned = static_cast<DWORD>(length);
    return IFD_SUCCESS;
}

RESPONSECODE FeatureList(PUCHAR out, DWORD capacity, LPDWORD returned)
{
    unsigned char list[2 * (kTlvHeaderSize + 4)];
    size_t length = PutFeature(list, FEATURE_GET_TLV_PROPERTIES, KYT_IFD_IOCTL_GET_TLV_PROPERTIES);
    length += PutFeature(list + length, FEATURE_CCID_ESC_COMMAND, KYT_IFD_IOCTL_ESCAPE);
    return Reply(list, length, out, capacity, returned);
}

RESPONSECODE TlvProperties(const SlotUse &use, PUCHAR out, DWORD capacity, LPDWORD returned)
{
    ReaderIdentity identity = use.Identity();
    size_t firmware = strlen(identity.text);
    unsigned char properties[3 * kTlvHeaderSize + 2 + 1 + 4 + kTlvHeaderSize + kIdentityTextSize];
    size_t length = PutProperty(properties, PCSCv2_PART10_PROPERTY_wLcdLayout, 0, 2);
    length += PutProperty(properties + length, PCSCv2_PART10_PROPERTY_bPPDUSupport, 0, 1);
    length += PutProperty(properties + length, PCSCv2_PART10_PROPERTY_dwMaxAPDUDataSize, kMaxApduDataSize, 4);
    if (firmware > 0) {
        properties[length] = PCSCv2_PART10_PROPERTY_sFirmwareID;
        properties[length + 1] = static_cast<unsigned char>(firmware);
        memcpy(properties + length + kTlvHeaderSize, identity.text, firmware);
        length += kTlvHeaderSize + firmware;
    }
    return Reply(properties, length, out, capacity, returned);
}

// The escape command's first bytes in hex, for the log.
void CommandText(const unsigned char *command, DWORD length, char *text, size_t size)
{
    constexpr DWORD kShown = 16;
    size_t used = 0;
    text[0] = '\0';
    for (DWORD i = 0; i < length && i < kShown && used + 4 < size; i++)
        used += static_cast<size_t>(snprintf(text + used, size - used, i == 0 ? "%02X" : " %02X", command[i]));
    if (length > kShown && used + 4 < size)
        snprintf(text + used, size - used, " ...");
}

RESPONSECODE Refused(const SlotUse &use, const unsigned char *command, DWORD length, const char *why)
{
    char text[64];
    CommandText(command, length, text, sizeof text);
    Log(LogLevel::Info, "%s: escape command %s refused: %s", use.Port(), text, why);
    return IFD_NOT_SUPPORTED;
}

RESPONSECODE Escape(const SlotUse &use, PUCHAR command, DWORD length, PUCHAR out, DWORD capacity, LPDWORD returned)
{
    if (!command || length == 0)
        return IFD_COMMUNICATION_ERROR;
    // The line speed belongs to the handler, whatever the options say.
    if (command[0] == kSetSpeedCommand)
        return Refused(use, command, length, "the line speed belongs to the driver");
    if (!EscapeAllowed(use.Options(), command, length))
        return Refused(use, command, length, "not enabled by the reader's escape= option");
    if (!out || capacity == 0)
        return IFD_ERROR_INSUFFICIENT_BUFFER;

    KYT_ULONG answered = 0;
    CallResult call = use.Run(CallKind::Command, [&](ReaderHandle handle, KYT_ULONG slot) {
        return KYT_Control(handle, slot, KYT_IOCTL_ESCAPE, command, length, out, capacity, &answered);
    });
    if (call.outcome != Outcome::Done)
        return IFD_COMMUNICATION_ERROR;
    if (call.status != KYT_SUCCESS)
        return MapStatus(call.status, Op::Control, use.Port());
    if (answered > capacity)
        return IFD_COMMUNICATION_ERROR;
    if (returned)
        *returned = static_cast<DWORD>(answered);
    return IFD_SUCCESS;
}

RESPONSECODE TracedEscape(const SlotUse &use, PUCHAR command, DWORD length, PUCHAR out, DWORD capacity,
                          LPDWORD returned)
{
    RESPONSECODE rv = Escape(use, command, length, out, capacity, returned);
    if (!use.Logs(kLogEscapes) || !command)
        return rv;
    char text[64];
    CommandText(command, length, text, sizeof text);
    return use.Traced(kLogEscapes, rv, "escape command %s (%lu bytes) %s, reply of %lu bytes", text,
                      static_cast<unsigned long>(length), rv == IFD_NOT_SUPPORTED ? "refused" : "passed",
                      static_cast<unsigned long>(returned ? *returned : 0));
}

} // namespace

#define IFD_EXPORT __attribute__((visibility("default")))

extern "C" {

IFD_EXPORT RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                                    DWORD RxLength, LPDWORD pdwBytesReturned)
{
    if (pdwBytesReturned)
        *pdwBytesReturned = 0;
    SlotUse use(Lun);
    if (!use)
        return IFD_COMMUNICATION_ERROR;
    switch (dwControlCode) {
    case KYT_IFD_IOCTL_GET_FEATURE_REQUEST:
        return use.Traced(kLogCalls, FeatureList(RxBuffer, RxLength, pdwBytesReturned),
                          "IFDHControl(GET_FEATURE_REQUEST)");
    case KYT_IFD_IOCTL_GET_TLV_PROPERTIES:
        return use.Traced(kLogCalls, TlvProperties(use, RxBuffer, RxLength, pdwBytesReturned),
                          "IFDHControl(GET_TLV_PROPERTIES)");
    case KYT_IFD_IOCTL_ESCAPE:
        return TracedEscape(use, TxBuffer, TxLength, RxBuffer, RxLength, pdwBytesReturned);
    default:
        return use.Traced(kLogCalls, IFD_ERROR_NOT_SUPPORTED, "IFDHControl(0x%lX)",
                          static_cast<unsigned long>(dwControlCode));
    }
}

} // extern "C"
