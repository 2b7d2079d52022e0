// pcscd's event threads wait in the handler between two presence polls.
//
// pcscd gives every slot an event thread that polls the slot's presence,
// then sleeps.  A handler that offers TAG_IFD_POLLING_THREAD_WITH_TIMEOUT
// does that sleeping for it, which tells the handler two things: which
// thread is the slot's event thread (cards.cpp reports a card that left to
// it), and when pcscd wants the thread back.  pcscd stops a reader by
// asking its event threads to stop (TAG_IFD_STOP_POLLING_THREAD) and joins
// them one slot after the other; a thread that slept its whole poll period
// would keep pcscd's shutdown waiting for it, slot by slot.  Here a stop
// ends the current wait, or the next one if the thread is polling, at once.
// A card that left, or a reader that was lost or found again, ends the
// wait too, so that pcscd sees it without waiting out the period.
#include <algorithm>

#include "log.h"
#include "readers.h"
#include "table.h"

namespace ifdkyt {

namespace {

bool SlotOpenLocked(const Reader *reader, DWORD index, DWORD slot)
{
    return reader && reader->state == EntryState::Open && reader->index == index && slot < reader->numSlots &&
           reader->slots[slot].open;
}

} // namespace

RESPONSECODE WaitForCardEvent(DWORD lun, int timeoutMs)
{
    DWORD index = ReaderIndex(lun);
    DWORD slot = SlotIndex(lun);
    std::unique_lock<std::mutex> lock(TableLock());
    Reader *reader = FindReaderLocked(index);
    if (!SlotOpenLocked(reader, index, slot))
        return IFD_COMMUNICATION_ERROR; // pcscd then sleeps the poll period itself
    SlotState &state = reader->slots[slot];
    state.hasEventThread = true;
    state.eventThread = pthread_self();

    auto period = timeoutMs >= 0 ? std::min<Clock::duration>(kPollPeriod, std::chrono::milliseconds(timeoutMs))
                                 : Clock::duration(kPollPeriod);
    bool woken = TableChanged().wait_until(lock, Clock::now() + period,
                                           [&] { return !SlotOpenLocked(reader, index, slot) || state.wakePending; });
    if (!SlotOpenLocked(reader, index, slot))
        return IFD_SUCCESS;
    state.wakePending = false;
    if (woken && (reader->options.logTopics & kLogPolls))
        Log(LogLevel::Debug, "%s: Lun 0x%lX: the event thread's wait ended early", reader->port,
            static_cast<unsigned long>(lun));
    return IFD_SUCCESS;
}

RESPONSECODE StopCardEventWait(DWORD lun)
{
    DWORD index = ReaderIndex(lun);
    DWORD slot = SlotIndex(lun);
    std::lock_guard<std::mutex> lock(TableLock());
    Reader *reader = FindReaderLocked(index);
    if (!SlotOpenLocked(reader, index, slot))
        return IFD_COMMUNICATION_ERROR;
    reader->slots[slot].wakePending = true;
    TableChanged().notify_all();
    return IFD_SUCCESS;
}

} // namespace ifdkyt
