// The reader table's entries and the lock that guards them, shared by the
// files that keep the table: readers.cpp (channels and calls), cards.cpp
// (what is known of each slot's card), reach.cpp (a reader that falls
// silent or is lost), recovery.cpp (finding a lost reader again) and
// polling.cpp (pcscd's event threads).
//
// One mutex guards the table and is never held across a call into libkyt.
// The handler's calls into libkyt on one reader take turns on its line
// (lineTaken, calls.cpp).  Entries live in a static array, so that a
// recovery thread may finish with one after pcscd has closed it; nothing in
// the table needs a destructor, so that pcscd's exit() never waits for a
// thread that still uses it.
#ifndef IFDKYT_TABLE_H
#define IFDKYT_TABLE_H

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <type_traits>

extern "C" {
#include <ifdhandler.h>
}

#include "firmware.h"
#include "kyt.h"
#include "link.h"
#include "options.h"

namespace ifdkyt {

using Clock = std::chrono::steady_clock;

constexpr DWORD kMaxSlots = 8;
constexpr size_t kDeviceNameSize = 512;

// pcscd polls every slot's presence every 400 ms.
constexpr auto kPollPeriod = std::chrono::milliseconds(400);
// A reader silent for longer than this is given up (its slots read empty
// and it is looked for afresh); a shorter silence keeps every session.
constexpr auto kSilenceLimit = std::chrono::seconds(10);
// Without a known event thread, a card that left is reported for this long.
constexpr auto kRemovalHold = 2 * kPollPeriod;

struct SlotState {
    bool open;       // pcscd has a channel on this slot
    bool everOpened; // pcscd opened this slot's channel since the reader was opened
    bool openFailed; // a channel open on this slot failed
    bool powered;    // powered up by this handler and not powered down since
    bool cardSeen;   // the reader's last word on the slot: a card is in it
    // The card left (or was power-cycled) behind pcscd's back: the slot
    // reads empty until pcscd's event thread has seen it so.
    bool removal;
    bool removalShown;
    Clock::time_point removalSince;
    DWORD protocol; // SCARD_PROTOCOL_T0 or _T1 selected since the power-up, else 0
    unsigned char atr[MAX_ATR_SIZE];
    DWORD atrLength;
    // pcscd's event thread of the slot, known once it waits in the
    // handler's card event function.
    bool hasEventThread;
    pthread_t eventThread;
    bool wakePending; // its next wait returns at once
};

enum class EntryState { Free, Opening, Open, Closing };

// How the handler reaches the reader behind a channel.
enum class Reach {
    Up,     // it answers
    Silent, // it has not answered lately: the slots keep their state
    Lost,   // given up (port gone, or silent too long): the slots read empty
};

struct Reader {
    EntryState state;
    DWORD index;                      // pcscd's reader index, the Lun's high 16 bits
    char deviceName[kDeviceNameSize]; // as the reader's entry names it, options included
    char port[kDeviceNameSize];
    ReaderOptions options;
    DWORD channelId;     // SCARD_ATTR_CHANNEL_ID
    KYT_ULONG numSlots;  // the slots pcscd was told of
    KYT_ULONG liveSlots; // those the reader now behind the port has
    ReaderIdentity identity;
    KYT_ULONG speed;
    ReaderHandle handle;  // null unless Up or Silent
    ReaderHandle retired; // given up, closed once no call uses it
    Reach reach;
    Clock::time_point silentSince;
    Clock::time_point lastProbe;   // the last poll that asked a silent reader
    bool recovering;               // a recovery thread looks for the reader
    bool abandoned;                // closed by pcscd while that thread ran: it frees the entry
    bool waitLogged;               // "waits for the port" said once
    Clock::time_point lastAttempt; // the end of the last attempt to reach it
    unsigned channels;             // open slots
    unsigned busy;                 // calls running on the entry
    bool lineTaken;                // a call of the handler's is in libkyt on the handle
    SlotState slots[kMaxSlots];
};

static_assert(std::is_trivially_destructible_v<Reader>, "the table must outlive pcscd's exit()");

std::mutex &TableLock();
// Notified whenever an entry's state, busy count or waits change.
std::condition_variable &TableChanged();

Reader *FindReaderLocked(DWORD index);

inline DWORD ReaderIndex(DWORD lun)
{
    return (lun >> 16) & 0xFFFF;
}
inline DWORD SlotIndex(DWORD lun)
{
    return lun & 0xFFFF;
}

// The reader answers on `link`: its handle, slots, identity and speed.
void TakeLinkLocked(Reader &reader, const Link &link);
// Back to a free entry; whoever waits for it is told.
void ReleaseEntryLocked(Reader &reader);

// No card can be known on a reader whose handle is given up.
void ForgetCardsLocked(Reader &reader);
// Wakes every event thread of the reader, so that pcscd sees a change now.
void WakeEventThreadsLocked(Reader &reader);

// The reader is given up: its handle is closed once no call uses it, its
// slots read empty, and a recovery thread looks for it.
void GiveUpLocked(Reader &reader, bool portGone);
// Starts the thread that looks for a lost reader (once per entry).
void StartRecoveryLocked(Reader &reader);

bool PortExists(const char *port);

} // namespace ifdkyt

#endif
