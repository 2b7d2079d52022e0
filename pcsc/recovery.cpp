// Finding a lost reader again.
//
// Each attempt to reach a reader opens it afresh: a detection scan through
// the line speeds, about two seconds on a port where nothing answers.  No
// IFD call can wait that long (pcscd's event threads could not stop, and
// its shutdown would hang), so a thread of the handler makes the attempts,
// one every two seconds while the port exists and a stat() every poll
// period while it does not.  The slots read empty meanwhile.
//
// pcscd may close the reader while an attempt runs.  The thread then ends
// the attempt, closes what it found and frees the entry itself, so that the
// close returns at once; the handler is never unloaded (it is linked with
// -z nodelete), so the thread's code stays where it is.
#include <signal.h>
#include <string.h>

#include "link.h"
#include "log.h"
#include "table.h"

namespace ifdkyt {

namespace {

// Each attempt on a port without a reader is a detection scan: one at a
// time, and a pause after.
constexpr auto kRecoveryInterval = std::chrono::seconds(2);

void CloseUnlocked(std::unique_lock<std::mutex> &lock, ReaderHandle handle, bool answers)
{
    lock.unlock();
    CloseLink(handle, answers);
    lock.lock();
}

// The reader answers again on `link`.
void TakeBackLocked(Reader &reader, const Link &link)
{
    if (link.numSlots != reader.numSlots)
        Log(LogLevel::Error, "%s: the reader now has %lu slots, not %lu; the others stay empty", reader.port,
            link.numSlots, reader.numSlots);
    TakeLinkLocked(reader, link);
    ForgetCardsLocked(reader);
    WakeEventThreadsLocked(reader);
    Log(LogLevel::Info, "%s: the reader is back (%s, %lu bit/s)", reader.port,
        reader.identity.text[0] ? reader.identity.text : "KYT", reader.speed);
}

// Waits for the next moment worth looking; false when the reader was
// closed meanwhile.
bool WaitForAttemptLocked(std::unique_lock<std::mutex> &lock, Reader &reader)
{
    for (;;) {
        if (reader.abandoned)
            return false;
        if (reader.retired) {
            // The port belongs to the handle given up until it is closed.
            if (reader.busy == 0) {
                ReaderHandle retired = reader.retired;
                reader.retired = nullptr;
                CloseUnlocked(lock, retired, false);
            } else {
                TableChanged().wait_for(lock, kPollPeriod);
            }
            continue;
        }
        Clock::time_point due = reader.lastAttempt + kRecoveryInterval;
        if (Clock::now() < due) {
            TableChanged().wait_until(lock, due);
            continue;
        }
        lock.unlock();
        bool exists = PortExists(reader.port);
        lock.lock();
        if (exists || reader.abandoned)
            return !reader.abandoned;
        TableChanged().wait_for(lock, kPollPeriod);
    }
}

void Recover(Reader &reader)
{
    std::unique_lock<std::mutex> lock(TableLock());
    while (WaitForAttemptLocked(lock, reader)) {
        lock.unlock();
        Link link;
        KYT_STATUS status = OpenLink(reader.port, reader.options, &link);
        lock.lock();
        reader.lastAttempt = Clock::now();
        if (reader.abandoned) {
            if (status == KYT_SUCCESS)
                CloseUnlocked(lock, link.handle, true);
            break;
        }
        if (status == KYT_SUCCESS) {
            TakeBackLocked(reader, link);
            reader.recovering = false;
            return;
        }
        Log(LogLevel::Debug, "%s: no reader answers yet (status 0x%lX)", reader.port, status);
    }
    // Closed by pcscd: the entry is this thread's to free.
    if (reader.retired)
        CloseUnlocked(lock, reader.retired, false);
    ReleaseEntryLocked(reader);
}

void *RecoveryThread(void *argument)
{
    Recover(*static_cast<Reader *>(argument));
    return nullptr;
}

} // namespace

void StartRecoveryLocked(Reader &reader)
{
    if (reader.recovering)
        return;
    // The thread takes no signals: they are pcscd's, for its own threads.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int error = pthread_create(&thread, &attributes, RecoveryThread, &reader);
    pthread_attr_destroy(&attributes);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (error != 0) {
        Log(LogLevel::Error, "%s: no thread to look for the reader (%s); it stays lost", reader.port, strerror(error));
        return;
    }
    reader.recovering = true;
}

} // namespace ifdkyt
