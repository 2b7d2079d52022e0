// The IFD handler's entry points for channels, power, protocols, APDUs and
// card presence, on top of libkyt's public API.  Capabilities are answered
// in attributes.cpp, control codes in control.cpp.
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
    if (!use.Handle()) {
        use.Forget();
        return IFD_SUCCESS; // nothing can be powered on a reader out of reach
    }
    KYT_STATUS status = KYT_PowerOffIcc(use.Handle(), use.Slot());
    use.Forget();
    if (use.Report(status))
        return IFD_SUCCESS;
    // An empty slot is as powered down as can be.
    if (status == KYT_ERR_REMOVED_CARD)
        return IFD_SUCCESS;
    return MapStatus(status, Op::Power, use.Port());
}

// The reader knows no warm reset: a reset is a power cycle, which also
// powers up a card that was not powered.
RESPONSECODE PowerUp(const SlotUse &use, DWORD action, PUCHAR atrOut, DWORD capacity, PDWORD atrLength)
{
    if (!use.Handle())
        return IFD_NO_SUCH_DEVICE;
    use.Forget();
    if (action == IFD_RESET) {
        KYT_STATUS status = KYT_PowerOffIcc(use.Handle(), use.Slot());
        if (use.Report(status))
            return IFD_NO_SUCH_DEVICE;
        if (status != KYT_SUCCESS && status != KYT_ERR_REMOVED_CARD)
            return MapStatus(status, Op::Power, use.Port());
    }
    unsigned char atr[kPowerOnBufferSize];
    KYT_ULONG length = sizeof atr;
    KYT_STATUS status = KYT_PowerOnIcc(use.Handle(), use.Slot(), atr, &length);
    if (use.Report(status))
        return IFD_NO_SUCH_DEVICE;
    if (status != KYT_SUCCESS)
        return MapStatus(status, Op::Power, use.Port());
    if (length > MAX_ATR_SIZE) {
        // Not an ISO 7816-3 ATR: pcscd could not keep it.
        KYT_PowerOffIcc(use.Handle(), use.Slot());
        return IFD_ERROR_POWER_ACTION;
    }
    use.SetCard(atr, static_cast<DWORD>(length));
    if (length > capacity || !atrOut)
        return IFD_ERROR_INSUFFICIENT_BUFFER;
    memcpy(atrOut, atr, length);
    *atrLength = static_cast<DWORD>(length);
    return IFD_SUCCESS;
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
    if (!use)
        return IFD_COMMUNICATION_ERROR;
    if (Protocol != SCARD_PROTOCOL_T0 && Protocol != SCARD_PROTOCOL_T1)
        return IFD_PROTOCOL_NOT_SUPPORTED;
    if (!use.Handle())
        return IFD_NO_SUCH_DEVICE;
    KYT_ULONG request = Protocol == SCARD_PROTOCOL_T0 ? KYT_PROTOCOL_T0 : KYT_PROTOCOL_T1;
    if ((Flags & IFD_NEGOTIATE_PTS1) && PTS1 == kDefaultFactors)
        request |= KYT_PROTOCOL_DEFAULT_SPEED;
    KYT_ULONG active = 0;
    KYT_STATUS status = KYT_SetProtocol(use.Handle(), use.Slot(), request, &active);
    if (use.Report(status))
        return IFD_NO_SUCH_DEVICE;
    if (status == KYT_ERR_REMOVED_CARD)
        use.CardLeft();
    if (status != KYT_SUCCESS)
        return MapStatus(status, Op::Protocol, use.Port());
    // A card in specific mode keeps its own protocol, whatever was asked.
    if ((active & request & (KYT_PROTOCOL_T0 | KYT_PROTOCOL_T1)) == 0)
        return IFD_PROTOCOL_NOT_SUPPORTED;
    use.SetProtocol(Protocol);
    return IFD_SUCCESS;
}

IFD_EXPORT RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength)
{
    if (!AtrLength)
        return IFD_COMMUNICATION_ERROR;
    DWORD capacity = Atr ? *AtrLength : 0;
    *AtrLength = 0;
    SlotUse use(Lun);
    if (!use)
        return IFD_COMMUNICATION_ERROR;
    if (Action == IFD_POWER_DOWN)
        return PowerDown(use);
    if (Action != IFD_POWER_UP && Action != IFD_RESET)
        return IFD_NOT_SUPPORTED;
    return PowerUp(use, Action, Atr, capacity, AtrLength);
}

IFD_EXPORT RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER SendPci, PUCHAR TxBuffer, DWORD TxLength,
                                          PUCHAR RxBuffer, PDWORD RxLength, PSCARD_IO_HEADER RecvPci)
{
    if (!RxLength)
        return IFD_COMMUNICATION_ERROR;
    DWORD capacity = RxBuffer ? *RxLength : 0;
    *RxLength = 0;
    if (!TxBuffer || TxLength == 0)
        return IFD_COMMUNICATION_ERROR;
    if (capacity < 2) // not even room for SW1 SW2
        return IFD_ERROR_INSUFFICIENT_BUFFER;
    SlotUse use(Lun);
    if (!use)
        return IFD_COMMUNICATION_ERROR;
    if (!use.Handle())
        return IFD_NO_SUCH_DEVICE;

    KYT_ULONG length = capacity;
    KYT_STATUS status = KYT_ExchangeApdu(use.Handle(), use.Slot(), TxBuffer, TxLength, RxBuffer, &length);
    if (use.Report(status))
        return IFD_NO_SUCH_DEVICE;
    if (status == KYT_SUCCESS) {
        if (length > capacity)
            return IFD_COMMUNICATION_ERROR;
        *RxLength = static_cast<DWORD>(length);
        if (RecvPci)
            RecvPci->Protocol = SendPci.Protocol;
        return IFD_SUCCESS;
    }
    if (status == KYT_ERR_REMOVED_CARD)
        use.CardLeft();
    return MapStatus(status, Op::Transmit, use.Port());
}

IFD_EXPORT RESPONSECODE IFDHICCPresence(DWORD Lun)
{
    SlotUse use(Lun);
    if (!use)
        return IFD_COMMUNICATION_ERROR;
    if (!use.Handle() && !use.Recover())
        return IFD_ICC_NOT_PRESENT;
    if (use.TakeRemoval())
        return IFD_ICC_NOT_PRESENT;
    KYT_ULONG icc = KYT_ICC_UNKNOWN;
    KYT_STATUS status = KYT_GetIccStatus(use.Handle(), use.Slot(), &icc);
    if (use.Report(status))
        return IFD_ICC_NOT_PRESENT;
    if (status != KYT_SUCCESS) {
        if (status == KYT_ERR_REMOVED_CARD)
            use.Forget();
        return MapStatus(status, Op::Presence, use.Port());
    }
    switch (icc) {
    case KYT_ICC_POWERED:
        return IFD_SUCCESS;
    case KYT_ICC_PRESENT:
        if (use.Powered()) {
            // Powered by us, unpowered now: pulled and put back since the
            // last poll.
            use.Forget();
            return IFD_ICC_NOT_PRESENT;
        }
        return IFD_SUCCESS;
    case KYT_ICC_ABSENT:
        use.Forget();
        return IFD_ICC_NOT_PRESENT;
    default:
        return IFD_COMMUNICATION_ERROR;
    }
}

} // extern "C"
