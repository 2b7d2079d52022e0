// Card presence.
//
// A poll asks the reader for the slot's status with short timeouts, in the
// reader's turn; when another call has the line (an APDU on another slot
// may take a minute), or the reader is silent and was asked by another
// slot's poll lately, it answers from the reader's last word instead.  A
// lost reader's slots read empty.  A card powered by the handler that the
// reader reports unpowered was pulled and put back, or power-cycled while
// the reader was silent: it left (cards.cpp).
#include "presence.h"

#include "log.h"
#include "readers.h"

namespace ifdkyt {

RESPONSECODE SlotPresence(const SlotUse &use, bool *powered)
{
    *powered = false;
    if (use.ReportRemoval())
        return IFD_ICC_NOT_PRESENT;
    KYT_ULONG icc = KYT_ICC_UNKNOWN;
    CallResult call = use.Run(
        CallKind::Poll, [&icc](ReaderHandle handle, KYT_ULONG slot) { return KYT_GetIccStatus(handle, slot, &icc); });
    if (call.outcome == Outcome::Unreachable || call.outcome == Outcome::Lost)
        return IFD_ICC_NOT_PRESENT;
    if (call.outcome != Outcome::Done)
        return use.KnownPresence();
    if (call.status == KYT_ERR_REMOVED_CARD)
        icc = KYT_ICC_ABSENT;
    else if (call.status != KYT_SUCCESS)
        return use.KnownPresence();
    switch (icc) {
    case KYT_ICC_POWERED:
        use.SawCard(true);
        *powered = true;
        return IFD_SUCCESS;
    case KYT_ICC_PRESENT:
        use.SawCard(true);
        if (use.Powered()) {
            use.CardLeft();
            return use.ReportRemoval() ? IFD_ICC_NOT_PRESENT : IFD_SUCCESS;
        }
        return IFD_SUCCESS;
    case KYT_ICC_ABSENT:
        use.Forget();
        use.SawCard(false);
        return IFD_ICC_NOT_PRESENT;
    default:
        return use.KnownPresence();
    }
}

} // namespace ifdkyt

#define IFD_EXPORT __attribute__((visibility("default")))

extern "C" {

IFD_EXPORT RESPONSECODE IFDHICCPresence(DWORD Lun)
{
    using namespace ifdkyt;
    SlotUse use(Lun);
    if (!use)
        return IFD_COMMUNICATION_ERROR;
    bool powered = false;
    return use.Traced(kLogPolls, SlotPresence(use, &powered), "IFDHICCPresence");
}

} // extern "C"
