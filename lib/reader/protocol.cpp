// Protocol selection: puts the card in a slot into use with T=0 or T=1 and
// tells the reader the protocol and its parameters (PC_to_RDR_SetParameters).
//
// The library sends no PPS to the card itself; the reader does that when it
// accepts the parameters.  A reader that refuses negotiated parameters often
// accepts them after a fresh reset of the card, so a negotiable card gets one
// power cycle and a second attempt.
#include <cerrno>
#include <ctime>

#include "ccid.h"
#include "device.h"

namespace {

constexpr long POWER_CYCLE_PAUSE_NS = 10 * 1000 * 1000;
constexpr long NS_PER_SECOND = 1000 * 1000 * 1000;

constexpr KYT_ULONG REQUESTABLE_PROTOCOLS = KYT_PROTOCOL_T0 | KYT_PROTOCOL_T1;

// What the reader is told about the card: the protocol in SelectedProtocol
// at the negotiated factors, with the card's own timing.
CcidProtocolParameters ProtocolParameters(const CardCapabilities *card)
{
    CcidProtocolParameters parameters{};
    parameters.protocol = card->SelectedProtocol;
    parameters.fiIndex = card->NegFiIndex;
    parameters.diIndex = card->NegDiIndex;
    parameters.inverseConvention = card->InverseConvention == 1;
    parameters.extraGuardTime = card->ExtraGuardTime;
    parameters.t0WaitingInteger = card->T0WaitingInteger;
    parameters.t1Edc = card->T1Edc;
    parameters.t1Bwi = card->T1Bwi;
    parameters.t1Cwi = card->T1Cwi;
    parameters.t1Ifsc = card->T1Ifsc;
    return parameters;
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
    CcidProtocolParameters parameters = ProtocolParameters(card);
    SetTransportTarget(device, static_cast<uint8_t>(slot));
    return CCID_SetParameters(device, &parameters);
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

// The card stays without power for the whole pause, also when a signal
// arrives meanwhile: the sleep is to an absolute time and simply resumed.
void PowerCyclePause()
{
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_nsec += POWER_CYCLE_PAUSE_NS;
    if (until.tv_nsec >= NS_PER_SECOND) {
        until.tv_sec += 1;
        until.tv_nsec -= NS_PER_SECOND;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

// Resets the card for a second attempt.  The new ATR is stored by the
// power-on but not parsed: the second attempt repeats the first one's
// parameters.
KYT_STATUS PowerCycle(ReaderHandle hReader, KYT_ULONG slot)
{
    KYT_PowerOffIcc(hReader, slot);
    PowerCyclePause();
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
