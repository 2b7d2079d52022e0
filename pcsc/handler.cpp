// The handler's entry points for channels, power, protocols and APDUs, on
// top of libkyt's public API.  Card presence is answered in presence.cpp,
// capabilities in attributes.cpp, control codes in control.cpp.
//
// A reader out of reach (lost, or silent on this call) fails power,
// protocol and APDU requests with IFD_COMMUNICATION_ERROR: it may answer
// again, so it is not the IFD_NO_SUCH_DEVICE of a device gone for good.
//
// No C++ exception can leave the handler: it is compiled without
// exceptions.
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}

#include "log.h"
#include "readers.h"
#include "status.h"

using namespace ifdkyt;

namespace {

// The power-on's ATR buffer: as large as libkyt's own.
constexpr size_t kPowerOnBufferSize = 64;
// pcsc-lite's PTS1 of 0x11: Fi/Di 1/1, the default transmission factors.
constexpr UCHAR kDefaultFactors = 0x11;

RESPONSECODE PowerDown(const SlotUse &use)
{
    CallResult call = use.Run(CallKind::Card, KYT_PowerOffIcc);
    use.Forget();
    switch (call.outcome) {
    case Outcome::Done:
        // An empty slot is as powered down as can be.
        if (call.status == KYT_ERR_REMOVED_CARD)
            return IFD_SUCCESS;
        return MapStatus(call.status, Op::Power, use.Port());
    case Outcome::Silent:
        return IFD_COMMUNICATION_ERROR;
    default:
        return IFD_SUCCESS; // nothing can be powered on a reader out of reach
    }
}

// IFD_RESET is a warm reset: the powered card gets a power-on without a
// power-off first, and keeps its supply.  Either action powers up a card
// that was not powered.
RESPONSECODE PowerUp(const SlotUse &use, PUCHAR atrOut, DWORD capacity, PDWORD atrLength)
{
    use.Forget();
    unsigned char atr[kPowerOnBufferSize];
    KYT_ULONG length = sizeof atr;
    CallResult call = use.Run(CallKind::Card, [&](ReaderHandle handle, KYT_ULONG slot) {
        return KYT_PowerOnIcc(handle, slot, atr, &length);
    });
    if (call.outcome != Outcome::Done)
        return IFD_COMMUNICATION_ERROR;
    if (call.status != KYT_SUCCESS)
        return MapStatus(call.status, Op::Power, use.Port());
    if (length > MAX_ATR_SIZE) {
        // pcscd keeps 33 bytes, the longest ATR ISO 7816-3 allows; the
        // card is used all the same.
        Log(LogLevel::Error, "%s: slot %lu: the card's ATR has %lu bytes; the first %d are kept", use.Port(),
            use.Slot(), length, MAX_ATR_SIZE);
        length = MAX_ATR_SIZE;
    }
    use.SetCard(atr, static_cast<DWORD>(length));
    if (length > capacity || !atrOut)
        return IFD_ERROR_INSUFFICIENT_BUFFER;
    memcpy(atrOut, atr, length);
    *atrLength = static_cast<DWORD>(length);
    return IFD_SUCCESS;
}

RESPONSECODE SetProtocol(const SlotUse &use, DWORD protocol, UCHAR flags, UCHAR pts1)
{
    if (!use)
        return IFD_COMMUNICATION_ERROR;
    if (protocol != SCARD_PROTOCOL_T0 && protocol != SCARD_PROTOCOL_T1)
        return IFD_PROTOCOL_NOT_SUPPORTED;
    KYT_ULONG request = protocol == SCARD_PROTOCOL_T0 ? KYT_PROTOCOL_T0 : KYT_PROTOCOL_T1;
    if ((flags & IFD_NEGOTIATE_PTS1) && pts1 == kDefaultFactors)
        request |= KYT_PROTOCOL_DEFAULT_SPEED;
    KYT_ULONG active = 0;
    CallResult call = use.Run(CallKind::Card, [&](ReaderHandle handle, KYT_ULONG slot) {
        return KYT_SetProtocol(handle, slot, request, &active);
    });
    if (call.outcome != Outcome::Done)
        return IFD_COMMUNICATION_ERROR;
    if (call.status == KYT_ERR_REMOVED_CARD)
        use.CardLeft();
    if (call.status != KYT_SUCCESS)
        return MapStatus(call.status, Op::Protocol, use.Port());
    // A card in specific mode keeps its own protocol, whatever was asked.
    if ((active & request & (KYT_PROTOCOL_T0 | KYT_PROTOCOL_T1)) == 0)
        return IFD_PROTOCOL_NOT_SUPPORTED;
    use.SetProtocol(protocol);
    return IFD_SUCCESS;
}

RESPONSECODE Transmit(const SlotUse &use, PUCHAR command, DWORD commandLength, PUCHAR response, DWORD capacity,
                      PDWORD responseLength)
{
    if (!command || commandLength == 0)
        return IFD_COMMUNICATION_ERROR;
    if (capacity < 2) // not even room for SW1 SW2
        return IFD_ERROR_INSUFFICIENT_BUFFER;
    if (!use)
        return IFD_COMMUNICATION_ERROR;
    KYT_ULONG length = capacity;
    CallResult call = use.Run(CallKind::Command, [&](ReaderHandle handle, KYT_ULONG slot) {
        return KYT_ExchangeApdu(handle, slot, command, commandLength, response, &length);
    });
    if (call.outcome != Outcome::Done)
        return IFD_COMMUNICATION_ERROR;
    if (call.status == KYT_SUCCESS) {
        if (length > capacity)
            return IFD_COMMUNICATION_ERROR;
        *responseLength = static_cast<DWORD>(length);
        return IFD_SUCCESS;
    }
    if (call.status == KYT_ERR_REMOVED_CARD)
        use.CardLeft();
    return MapStatus(call.status, Op::Transmit, use.Port());
}

} // namespace

#define IFD_EXPORT __attribute__((visibility("default")))

extern "C" {

IFD_EXPORT RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName)
{
    if (!DeviceName)
        return IFD_COMMUNICATION_ERROR;
    return OpenChannel(Lun, DeviceName, 0);
}

// Channel n (1, 2, ...) is /dev/pcsc/n where that link exists, else the n-th
// serial port /dev/ttyS<n-1>; the first serial port is channel 1.
IFD_EXPORT RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel)
{
    if (Channel == 0 || Channel > 0xFFFF)
        return IFD_COMMUNICATION_ERROR;
    char device[64];
    snprintf(device, sizeof device, "/dev/pcsc/%lu", static_cast<unsigned long>(Channel));
    struct stat info;
    if (stat(device, &info) != 0)
        snprintf(device, sizeof device, "/dev/ttyS%lu", static_cast<unsigned long>(Channel - 1));
    return OpenChannel(Lun, device, Channel);
}

IFD_EXPORT RESPONSECODE IFDHCloseChannel(DWORD Lun)
{
    return CloseChannel(Lun);
}

// pcscd asks for one protocol.  A PTS1 of 0x11 asks to keep the default
// transmission factors; any other PTS1 leaves the choice of factors to
// libkyt, which takes the fastest that card and slot allow.  PTS2 and PTS3
// have no counterpart in the reader and are ignored.
IFD_EXPORT RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR Flags, UCHAR PTS1, UCHAR PTS2,
                                                  UCHAR PTS3)
{
    (void)PTS2;
    (void)PTS3;
    SlotUse use(Lun);
    return use.Traced(kLogCalls, SetProtocol(use, Protocol, Flags, PTS1),
                      "IFDHSetProtocolParameters(protocol %lu, flags 0x%02X, PTS1 0x%02X)",
                      static_cast<unsigned long>(Protocol), Flags, PTS1);
}

IFD_EXPORT RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength)
{
    if (!AtrLength)
        return IFD_COMMUNICATION_ERROR;
    DWORD capacity = Atr ? *AtrLength : 0;
    *AtrLength = 0;
    SlotUse use(Lun);
    RESPONSECODE rv = IFD_COMMUNICATION_ERROR;
    if (!use)
        rv = IFD_COMMUNICATION_ERROR;
    else if (Action == IFD_POWER_DOWN)
        rv = PowerDown(use);
    else if (Action == IFD_POWER_UP || Action == IFD_RESET)
        rv = PowerUp(use, Atr, capacity, AtrLength);
    else
        rv = IFD_NOT_SUPPORTED;
    const char *name = Action == IFD_POWER_DOWN ? "down" : Action == IFD_POWER_UP ? "up" : "reset";
    return use.Traced(kLogCalls, rv, "IFDHPowerICC(%s) -> ATR of %lu bytes", name,
                      static_cast<unsigned long>(*AtrLength));
}

IFD_EXPORT RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER SendPci, PUCHAR TxBuffer, DWORD TxLength,
                                          PUCHAR RxBuffer, PDWORD RxLength, PSCARD_IO_HEADER RecvPci)
{
    if (!RxLength)
        return IFD_COMMUNICATION_ERROR;
    DWORD capacity = RxBuffer ? *RxLength : 0;
    *RxLength = 0;
    SlotUse use(Lun);
    RESPONSECODE rv = Transmit(use, TxBuffer, TxLength, RxBuffer, capacity, RxLength);
    if (rv == IFD_SUCCESS && RecvPci)
        RecvPci->Protocol = SendPci.Protocol;
    return use.Traced(kLogCalls, rv, "IFDHTransmitToICC(%lu bytes) -> %lu bytes", static_cast<unsigned long>(TxLength),
                      static_cast<unsigned long>(*RxLength));
}

} // extern "C"
