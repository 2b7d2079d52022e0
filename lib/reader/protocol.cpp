// Protocol selection: puts the card in a slot into use with T=0 or T=1 and
// tells the reader the protocol and its parameters (PC_to_RDR_SetParameters).
//
// The library sends no PPS to the card itself; the reader does that when it
// accepts the parameters.  A reader that refuses negotiated parameters often
// accepts them after a fresh reset of the card, so a negotiable card gets one
// power cycle and a second attempt.
#include <unistd.h>

#include <cerrno>

#include "ccid.h"
#include "device.h"

namespace {

// PC_to_RDR_SetParameters, after the common header.
constexpr unsigned SETPARAM_OFFSET_PROTOCOL = 7; // bProtocolNum
constexpr unsigned SETPARAM_OFFSET_RFU = 8;      // abRFU, two bytes
constexpr unsigned SETPARAM_OFFSET_FIDI = 10;    // bmFindexDindex
constexpr unsigned SETPARAM_OFFSET_TCCKS = 11;   // bmTCCKST0 / bmTCCKST1
constexpr unsigned SETPARAM_OFFSET_GUARD = 12;   // bGuardTimeT0 / bGuardTimeT1
constexpr unsigned SETPARAM_OFFSET_WAITING = 13; // bWaitingIntegerT0 / bmWaitingIntegersT1
constexpr unsigned SETPARAM_OFFSET_CLOCKSTOP = 14;
constexpr unsigned SETPARAM_OFFSET_IFSC = 15; // T=1 only
constexpr unsigned SETPARAM_OFFSET_NAD = 16;  // T=1 only

constexpr uint8_t PROTOCOL_NUM_T0 = 0;
constexpr uint8_t PROTOCOL_NUM_T1 = 1;
constexpr uint32_t T0_DATA_LENGTH = 5;
constexpr uint32_t T1_DATA_LENGTH = 7;
constexpr unsigned SETPARAM_MAX_MESSAGE = CCID_HEADER_SIZE + T1_DATA_LENGTH;
// RDR_to_PC_Parameters echoes at most the T=1 structure.
constexpr unsigned PARAMETERS_MAX_RESPONSE = CCID_HEADER_SIZE + T1_DATA_LENGTH;

constexpr uint8_t TCCKS_INVERSE_CONVENTION = 0x02; // bit 1: convention
constexpr uint8_t TCCKST1_BASE = 0x10;             // bits 7 to 2 of bmTCCKST1 read 000100b
constexpr uint8_t TCCKST1_CRC = 0x01;              // bit 0: checksum type
constexpr uint8_t CLOCK_STOP_NOT_ALLOWED = 0x00;
constexpr uint8_t NAD_DEFAULT = 0x00;
constexpr unsigned NIBBLE_SHIFT = 4;
constexpr uint8_t LOW_NIBBLE = 0x0F;

// An IFSC of 0 or 255 is not valid (ISO/IEC 7816-3 11.4.2); the default
// of 32 stands in for it.
constexpr uint8_t IFSC_INVALID_LOW = 0x00;
constexpr uint8_t IFSC_INVALID_HIGH = 0xFF;
constexpr uint8_t IFSC_DEFAULT = 32;

constexpr useconds_t POWER_CYCLE_PAUSE_US = 10000;

constexpr KYT_ULONG REQUESTABLE_PROTOCOLS = KYT_PROTOCOL_T0 | KYT_PROTOCOL_T1;

void PutLittleEndian32(uint8_t *bytes, uint32_t value)
{
    for (unsigned i = 0; i < 4; ++i)
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

void BuildHeader(uint8_t *message, uint32_t dataLength, uint8_t slot, uint8_t sequence, uint8_t protocolNum,
                 const CardCapabilities *card)
{
    message[CCID_OFFSET_TYPE] = PC_TO_RDR_SETPARAMETERS;
    PutLittleEndian32(message + CCID_OFFSET_LENGTH, dataLength);
    message[CCID_OFFSET_SLOT] = slot;
    message[CCID_OFFSET_SEQ] = sequence;
    message[SETPARAM_OFFSET_PROTOCOL] = protocolNum;
    message[SETPARAM_OFFSET_RFU] = 0;
    message[SETPARAM_OFFSET_RFU + 1] = 0;
    message[SETPARAM_OFFSET_FIDI] =
        static_cast<uint8_t>((card->NegFiIndex << NIBBLE_SHIFT) | (card->NegDiIndex & LOW_NIBBLE));
}

uint8_t ConventionBit(const CardCapabilities *card)
{
    return card->InverseConvention == 1 ? TCCKS_INVERSE_CONVENTION : 0;
}

void BuildT0Data(uint8_t *message, const CardCapabilities *card)
{
    message[SETPARAM_OFFSET_TCCKS] = ConventionBit(card);
    message[SETPARAM_OFFSET_GUARD] = card->ExtraGuardTime;
    message[SETPARAM_OFFSET_WAITING] = card->T0WaitingInteger;
    message[SETPARAM_OFFSET_CLOCKSTOP] = CLOCK_STOP_NOT_ALLOWED;
}

void BuildT1Data(uint8_t *message, const CardCapabilities *card)
{
    bool ifscInvalid = card->T1Ifsc == IFSC_INVALID_LOW || card->T1Ifsc == IFSC_INVALID_HIGH;
    message[SETPARAM_OFFSET_TCCKS] =
        static_cast<uint8_t>(TCCKST1_BASE | ConventionBit(card) | (card->T1Edc & TCCKST1_CRC));
    message[SETPARAM_OFFSET_GUARD] = card->ExtraGuardTime;
    message[SETPARAM_OFFSET_WAITING] =
        static_cast<uint8_t>(((card->T1Bwi & LOW_NIBBLE) << NIBBLE_SHIFT) | (card->T1Cwi & LOW_NIBBLE));
    message[SETPARAM_OFFSET_CLOCKSTOP] = CLOCK_STOP_NOT_ALLOWED;
    message[SETPARAM_OFFSET_IFSC] = ifscInvalid ? IFSC_DEFAULT : card->T1Ifsc;
    message[SETPARAM_OFFSET_NAD] = NAD_DEFAULT;
}

// T=1 when both the caller and the card allow it, else T=0 when both allow
// that; 0 when they have nothing in common.
KYT_ULONG ChooseProtocol(KYT_ULONG preferred, KYT_ULONG supported)
{
    if ((preferred & KYT_PROTOCOL_T1) && (supported & KYT_PROTOCOL_T1))
        return KYT_PROTOCOL_T1;
    if ((preferred & KYT_PROTOCOL_T0) && (supported & KYT_PROTOCOL_T0))
        return KYT_PROTOCOL_T0;
    return 0;
}

int SendParameters(ReaderDevice *device, KYT_ULONG slot, const CardCapabilities *card)
{
    SetTransportTarget(device, static_cast<uint8_t>(slot));
    return CCID_SetParameters(device, card);
}

// A card in the specific mode already works in its one protocol and speed;
// the parameters only inform the reader, and the card stays usable whatever
// the reader answers.
KYT_STATUS SelectSpecific(ReaderDevice *device, KYT_ULONG slot, KYT_ULONG preferred, KYT_ULONG *activeProtocol)
{
    CardCapabilities *card = &device->slotInfo[slot].Card;
    if ((preferred & card->SelectedProtocol) == 0)
        return KYT_ERR_PROTO_MISMATCH;
    SendParameters(device, slot, card);
    if (activeProtocol != nullptr)
        *activeProtocol = card->SelectedProtocol;
    return 0;
}

// Resets the card for a second attempt.  The new ATR is stored by the
// power-on but not parsed: the second attempt repeats the first one's
// parameters.
KYT_STATUS PowerCycle(ReaderHandle hReader, KYT_ULONG slot)
{
    KYT_PowerOffIcc(hReader, slot);
    usleep(POWER_CYCLE_PAUSE_US);
    unsigned char atr[ATR_MAX_LENGTH];
    KYT_ULONG atrLength = sizeof(atr);
    return KYT_PowerOnIcc(hReader, slot, atr, &atrLength);
}

KYT_STATUS GiveUp(CardCapabilities *card, KYT_ULONG status)
{
    card->SelectedProtocol = 0;
    return MapWinErrorToKytError(status);
}

// Offers the chosen protocol at the negotiated factors; after a refusal, and
// only when the speed was negotiated, resets the card once and tries again.
KYT_STATUS SelectNegotiated(ReaderDevice *device, KYT_ULONG slot, KYT_ULONG preferred, KYT_ULONG *activeProtocol)
{
    SlotInfo *info = &device->slotInfo[slot];
    CardCapabilities *card = &info->Card;
    KYT_ULONG chosen = ChooseProtocol(preferred, card->SupportedProtocols);
    if (chosen == 0)
        return KYT_ERR_PROTO_MISMATCH;

    for (;;) {
        card->SelectedProtocol = chosen;
        int error = SendParameters(device, slot, card);
        if (error == 0)
            break;
        if (card->NegotiationFlag == 0)
            return GiveUp(card, static_cast<KYT_ULONG>(error));
        // Clearing the flag first bounds the selection to one retry.
        card->NegotiationFlag = 0;
        KYT_STATUS status = PowerCycle(device, slot);
        if (status != 0)
            return GiveUp(card, status);
    }

    card->FiIndex = card->NegFiIndex;
    card->DiIndex = card->NegDiIndex;
    info->Reader.CardMode = CARD_MODE_SPECIFIC;
    if (activeProtocol != nullptr)
        *activeProtocol = chosen;
    return 0;
}

} // namespace

int CCID_SetParameters(ReaderDevice *device, const CardCapabilities *card)
{
    // The sequence number is taken even when nothing is sent.
    uint8_t sequence = device->sequenceNumber++;
    uint8_t message[SETPARAM_MAX_MESSAGE];
    KYT_ULONG messageLength = 0;

    if (card->SelectedProtocol == KYT_PROTOCOL_T0) {
        BuildHeader(message, T0_DATA_LENGTH, device->currentSlot, sequence, PROTOCOL_NUM_T0, card);
        BuildT0Data(message, card);
        messageLength = CCID_HEADER_SIZE + T0_DATA_LENGTH;
    } else if (card->SelectedProtocol == KYT_PROTOCOL_T1) {
        BuildHeader(message, T1_DATA_LENGTH, device->currentSlot, sequence, PROTOCOL_NUM_T1, card);
        BuildT1Data(message, card);
        messageLength = CCID_HEADER_SIZE + T1_DATA_LENGTH;
    } else {
        return EIO;
    }

    uint8_t reply[PARAMETERS_MAX_RESPONSE];
    KYT_ULONG replyLength = sizeof(reply);
    int error = CCID_Transceive(device, message, messageLength, reply, &replyLength);
    if (error != 0)
        return error;
    // The parameters the reader echoes are not compared with those sent.
    return CCID_CheckResponse(device, reply, replyLength, RDR_TO_PC_PARAMETERS);
}

KYT_STATUS KYT_SetProtocol(ReaderHandle hReader, KYT_ULONG slot, KYT_ULONG preferredProtocols,
                           KYT_ULONG *activeProtocol)
{
    if (activeProtocol != nullptr)
        *activeProtocol = 0;

    ReaderDevice *device = LookupReader(hReader);
    if (device == nullptr)
        return EINVAL;
    if (slot >= device->numSlots || (preferredProtocols & REQUESTABLE_PROTOCOLS) == 0)
        return EINVAL;

    ReaderLockGuard lock(device);
    SlotInfo *info = &device->slotInfo[slot];
    if (info->Card.AtrLength == 0)
        return KYT_ERR_UNPOWERED_CARD;

    info->Card.NegotiationFlag = (preferredProtocols & KYT_PROTOCOL_DEFAULT_SPEED) ? 0 : 1;
    KYT_ULONG status = UpdateCardCapabilities(&info->Reader, &info->Card);
    if (status != 0)
        return MapWinErrorToKytError(status);

    if (info->Reader.CardMode == CARD_MODE_SPECIFIC)
        return SelectSpecific(device, slot, preferredProtocols, activeProtocol);
    return SelectNegotiated(device, slot, preferredProtocols, activeProtocol);
}
