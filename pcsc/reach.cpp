// A reader that stops answering.
//
// A line can fail for a moment (a disturbed frame, a connector that moves,
// a reader that restarts its firmware) without anything happening to the
// cards.  pcscd takes a failed presence poll for a reader in an unknown
// state and powers the card up anew on the next good one, without telling
// the connections, whose next APDU then fails with the card's PIN and
// security state gone.  So a reader that stops answering is silent first:
// its slots answer from what was known, and the reader is asked again at
// every poll period.  When it answers, each slot's next poll asks the
// reader: a card still powered means nothing happened to it, an unpowered
// one was power-cycled and is reported removed (cards.cpp).
//
// Only a port that has disappeared (a USB serial adapter pulled out), or a
// silence longer than kSilenceLimit, makes the handler give the reader up:
// its slots read empty and a recovery thread looks for it (recovery.cpp).
#include "log.h"
#include "readers.h"
#include "status.h"
#include "table.h"

namespace ifdkyt {

namespace {

double SecondsSince(Clock::time_point since)
{
    return std::chrono::duration<double>(Clock::now() - since).count();
}

} // namespace

void GiveUpLocked(Reader &reader, bool portGone)
{
    reader.retired = reader.handle;
    reader.handle = nullptr;
    reader.reach = Reach::Lost;
    // A pulled adapter is looked for again as soon as its port is back; a
    // reader that stopped answering gets a pause first.
    reader.lastAttempt = portGone ? Clock::time_point() : Clock::now();
    ForgetCardsLocked(reader);
    WakeEventThreadsLocked(reader);
    if (portGone)
        Log(LogLevel::Error, "%s: the port is gone; its slots read empty until the reader answers again", reader.port);
    else
        Log(LogLevel::Error,
            "%s: the reader has not answered for %.0f s; its slots read empty until it answers "
            "again",
            reader.port, SecondsSince(reader.silentSince));
    StartRecoveryLocked(reader);
}

Outcome SlotUse::Report(KYT_STATUS status) const
{
    bool linkFailure = IsLinkFailure(status);
    bool portGone = linkFailure && PortGone(status, reader_->port);
    std::lock_guard<std::mutex> lock(TableLock());
    Reader &reader = *reader_;
    if (reader.handle != handle_)
        return Outcome::Lost; // given up by another call meanwhile
    if (!linkFailure) {
        if (reader.reach == Reach::Silent)
            Log(LogLevel::Info, "%s: the reader answers again after %.1f s of silence", reader.port,
                SecondsSince(reader.silentSince));
        reader.reach = Reach::Up;
        return Outcome::Done;
    }
    if (portGone) {
        GiveUpLocked(reader, true);
        return Outcome::Lost;
    }
    if (reader.reach == Reach::Up) {
        reader.reach = Reach::Silent;
        reader.silentSince = Clock::now();
        reader.lastProbe = reader.silentSince;
        Log(LogLevel::Info,
            "%s: no answer from the reader (status 0x%lX); its slots keep their state while it "
            "is silent",
            reader.port, status);
        return Outcome::Silent;
    }
    if (Clock::now() - reader.silentSince >= kSilenceLimit) {
        GiveUpLocked(reader, false);
        return Outcome::Lost;
    }
    return Outcome::Silent;
}

} // namespace ifdkyt
