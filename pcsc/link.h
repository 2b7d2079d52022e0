// The handler's link to one reader: a libkyt handle at the line speed the
// reader's options ask for, and the reader's identity.
#ifndef IFDKYT_LINK_H
#define IFDKYT_LINK_H

#include "firmware.h"
#include "kyt.h"
#include "options.h"

namespace ifdkyt {

struct Link {
    ReaderHandle handle;
    KYT_ULONG numSlots;
    KYT_ULONG speed; // bit/s the line runs at
    ReaderIdentity identity;
};

// Opens the reader on `port` (detection finds its speed and model), asks it
// for the speed the options name, and reads its identity.  When the reader
// does not take the new speed, both ends are brought back in step (by
// opening the reader afresh if need be) and the link carries on at the
// speed that works.  Returns libkyt's status of the open; on success *link
// holds an open handle.
KYT_STATUS OpenLink(const char *port, const ReaderOptions &options, Link *link);

// Says in pcscd's log why the reader on `port` could not be opened.
void LogOpenFailure(const char *port, KYT_STATUS status);

// Closes a handle within about a second whatever the reader does: KYT_Close
// powers every slot off, so the link's waits are shortened first, and cut
// to nothing when the reader is known not to answer.
void CloseLink(ReaderHandle handle, bool readerAnswers);

} // namespace ifdkyt

#endif
