// Card slot operations: power, status, APDU exchange and escape commands.
#include <cerrno>
#include <cstring>

#include "ccid.h"
#include "device.h"
#include "speed.h"

namespace {

bool SlotInRange(const ReaderDevice *device, KYT_ULONG slot)
{
    return slot < device->numSlots;
}

CardCapabilities *SlotCard(ReaderDevice *device, KYT_ULONG slot)
{
    return &device->slotInfo[slot].Card;
}

// Power-on is the one operation where a card that does not answer is told
// apart from other errors.
KYT_ULONG MapPowerOnError(int error)
{
    if (error == ETIMEDOUT)
        return KYT_ERR_UNRESPONSIVE_CARD;
    return MapWinErrorToKytError(static_cast<KYT_ULONG>(error));
}

KYT_ULONG IccStatusFromCardStatus(uint8_t cardStatus)
{
    switch (cardStatus) {
    case CCID_ICC_ACTIVE:
        return KYT_ICC_POWERED;
    case CCID_ICC_INACTIVE:
        return KYT_ICC_PRESENT;
    case CCID_ICC_ABSENT:
        return KYT_ICC_ABSENT;
    default:
        return KYT_ICC_UNKNOWN;
    }
}

} // namespace

KYT_STATUS KYT_PowerOnIcc(ReaderHandle hReader, KYT_ULONG slot, unsigned char *atrBuffer, KYT_ULONG *atrBufferLength)
{
    ReaderDevice *device = LookupReader(hReader);
    if (device == nullptr || atrBufferLength == nullptr || !SlotInRange(device, slot))
        return EINVAL;

    ReaderLockGuard lock(device);
    CardCapabilities *card = SlotCard(device, slot);
    uint8_t atr[ATR_MAX_LENGTH];
    KYT_ULONG atrLength = sizeof(atr);

    SetTransportTarget(device, static_cast<uint8_t>(slot));
    int error = CCID_IccPowerOn(device, atr, &atrLength);
    if (error != 0 || atrLength > sizeof(atr)) {
        card->AtrLength = 0;
        *atrBufferLength = 0;
        return error != 0 ? MapPowerOnError(error) : E2BIG;
    }

    // The slot keeps the ATR even when the caller's buffer is too small, so
    // that protocol selection can still use it.
    memcpy(card->Atr, atr, atrLength);
    card->AtrLength = static_cast<uint8_t>(atrLength);

    if (*atrBufferLength < atrLength) {
        *atrBufferLength = atrLength;
        return E2BIG;
    }
    if (atrBuffer != nullptr)
        memcpy(atrBuffer, atr, atrLength);
    *atrBufferLength = atrLength;
    return 0;
}

KYT_STATUS KYT_PowerOffIcc(ReaderHandle hReader, KYT_ULONG slot)
{
    ReaderDevice *device = LookupReader(hReader);
    if (device == nullptr || !SlotInRange(device, slot))
        return EINVAL;

    ReaderLockGuard lock(device);
    SetTransportTarget(device, static_cast<uint8_t>(slot));
    int error = CCID_IccPowerOff(device);
    // Whether or not the reader could be reached, the card must be powered on
    // again before it is used.
    SlotCard(device, slot)->AtrLength = 0;
    return MapWinErrorToKytError(static_cast<KYT_ULONG>(error));
}

KYT_STATUS KYT_GetIccStatus(ReaderHandle hReader, KYT_ULONG slot, KYT_ULONG *iccStatus)
{
    ReaderDevice *device = LookupReader(hReader);
    if (device == nullptr || iccStatus == nullptr || !SlotInRange(device, slot))
        return EINVAL;

    ReaderLockGuard lock(device);
    uint8_t cardStatus = 0;
    SetTransportTarget(device, static_cast<uint8_t>(slot));
    int error = CCID_GetSlotStatus(device, &cardStatus);
    if (error != 0) {
        *iccStatus = KYT_ICC_UNKNOWN;
        return MapWinErrorToKytError(static_cast<KYT_ULONG>(error));
    }

    *iccStatus = IccStatusFromCardStatus(cardStatus);
    if (cardStatus == CCID_ICC_ABSENT)
        SlotCard(device, slot)->AtrLength = 0;
    return 0;
}

KYT_STATUS KYT_ExchangeApdu(ReaderHandle hReader, KYT_ULONG slot, const unsigned char *sendBuffer, KYT_ULONG sendLength,
                            unsigned char *recvBuffer, KYT_ULONG *recvLength)
{
    ReaderDevice *device = LookupReader(hReader);
    if (device == nullptr || !SlotInRange(device, slot) || sendLength == 0 || sendBuffer == nullptr ||
        recvLength == nullptr || recvBuffer == nullptr || *recvLength == 0)
        return EINVAL;

    // Whether the card is powered and which protocol is in force is for the
    // reader to judge.
    ReaderLockGuard lock(device);
    SetTransportTarget(device, static_cast<uint8_t>(slot));
    int error = CCID_XfrBlock(device, sendBuffer, sendLength, recvBuffer, recvLength);
    return MapWinErrorToKytError(static_cast<KYT_ULONG>(error));
}

KYT_STATUS KYT_Control(ReaderHandle hReader, KYT_ULONG slot, KYT_ULONG controlCode, const unsigned char *inBuffer,
                       KYT_ULONG inBufferSize, unsigned char *outBuffer, KYT_ULONG outBufferSize,
                       KYT_ULONG *bytesReturned)
{
    if (bytesReturned != nullptr)
        *bytesReturned = 0;

    // A set-speed command passed through here would move the reader and
    // leave the host port behind.
    ReaderDevice *device = LookupReader(hReader);
    if (device == nullptr || !SlotInRange(device, slot) || controlCode != KYT_IOCTL_ESCAPE || inBufferSize == 0 ||
        inBuffer == nullptr || outBuffer == nullptr || outBufferSize == 0 || inBuffer[0] == ESCAPE_SET_SPEED)
        return EINVAL;

    ReaderLockGuard lock(device);
    KYT_ULONG replyLength = outBufferSize;
    SetTransportTarget(device, static_cast<uint8_t>(slot));
    int error = CCID_Escape(device, inBuffer, inBufferSize, outBuffer, &replyLength);
    if (error != 0)
        return static_cast<KYT_ULONG>(error);

    if (bytesReturned != nullptr)
        *bytesReturned = replyLength;
    return 0;
}
