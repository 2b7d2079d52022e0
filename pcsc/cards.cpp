// What the handler knows of each slot's card.
//
// A card can leave and come back between two of pcscd's presence polls: it
// bounces (a transmit or protocol selection finds the slot empty, the next
// poll finds the card there again), or it is power-cycled (powered by the
// handler, unpowered at the next poll).  pcscd must see such a card leave,
// or it never powers it up again and the slot stays empty for it while a
// card sits there.  pcscd learns of removals in its event thread only, but
// its clients ask for presence too: IFDPowerICC checks it first on the
// client's thread, which a client reconnecting right after the error does
// within the poll period.  So the slot reads empty for everyone until the
// slot's event thread has been told, and a removal cannot be swallowed by
// whichever call comes first.  Without a known event thread (a program
// other than pcscd), the slot reads empty for two poll periods, and at least
// once.
#include <string.h>

#include <algorithm>

#include "readers.h"
#include "table.h"

namespace ifdkyt {

void SlotUse::SetCard(const unsigned char *atr, DWORD length) const
{
    std::lock_guard<std::mutex> lock(TableLock());
    SlotState &state = reader_->slots[slot_];
    state.powered = true;
    state.cardSeen = true;
    state.protocol = 0;
    state.atrLength = std::min<DWORD>(length, sizeof state.atr);
    memcpy(state.atr, atr, state.atrLength);
}

void SlotUse::Forget() const
{
    std::lock_guard<std::mutex> lock(TableLock());
    SlotState &state = reader_->slots[slot_];
    state.powered = false;
    state.protocol = 0;
    state.atrLength = 0;
}

void SlotUse::CardLeft() const
{
    Forget();
    std::lock_guard<std::mutex> lock(TableLock());
    SlotState &state = reader_->slots[slot_];
    state.removal = true;
    state.removalShown = false;
    state.removalSince = Clock::now();
    // The event thread polls at once rather than at the end of its wait.
    state.wakePending = true;
    TableChanged().notify_all();
}

bool SlotUse::ReportRemoval() const
{
    std::lock_guard<std::mutex> lock(TableLock());
    SlotState &state = reader_->slots[slot_];
    if (!state.removal)
        return false;
    if (state.hasEventThread && pthread_equal(state.eventThread, pthread_self())) {
        state.removal = false; // pcscd knows now
        return true;
    }
    if (!state.hasEventThread && state.removalShown && Clock::now() - state.removalSince >= kRemovalHold) {
        state.removal = false;
        return false;
    }
    state.removalShown = true;
    return true;
}

void SlotUse::SawCard(bool present) const
{
    std::lock_guard<std::mutex> lock(TableLock());
    reader_->slots[slot_].cardSeen = present;
}

RESPONSECODE SlotUse::KnownPresence() const
{
    std::lock_guard<std::mutex> lock(TableLock());
    return reader_->slots[slot_].cardSeen ? IFD_SUCCESS : IFD_ICC_NOT_PRESENT;
}

bool SlotUse::Powered() const
{
    std::lock_guard<std::mutex> lock(TableLock());
    return reader_->slots[slot_].powered;
}

DWORD SlotUse::CopyAtr(unsigned char *out) const
{
    std::lock_guard<std::mutex> lock(TableLock());
    const SlotState &state = reader_->slots[slot_];
    memcpy(out, state.atr, state.atrLength);
    return state.atrLength;
}

void SlotUse::SetProtocol(DWORD protocol) const
{
    std::lock_guard<std::mutex> lock(TableLock());
    reader_->slots[slot_].protocol = protocol;
}

DWORD SlotUse::Protocol() const
{
    std::lock_guard<std::mutex> lock(TableLock());
    return reader_->slots[slot_].protocol;
}

} // namespace ifdkyt
