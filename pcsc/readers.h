// The handler's table of readers.
//
// One entry per reader (pcscd's Lun carries the reader in its high 16 bits
// and the slot in its low 16 bits) holds the libkyt handle that all the
// reader's slots share, the channels (slots) pcscd has opened on it and, per
// slot, what the handler knows of the card.  One mutex guards the table and
// is never held across a call into libkyt: a call counts itself busy on its
// entry and runs unlocked (libkyt serialises the reader itself), and a
// handle is closed only once no call uses it.
//
// A reader whose port disappears, or that fails three calls in a row on
// the line, loses its handle: it is out of reach.  Its slots then read as
// empty, and presence polls open it afresh once its port exists again, at
// most once every two seconds.
#ifndef IFDKYT_READERS_H
#define IFDKYT_READERS_H

#include <chrono>

extern "C" {
#include <ifdhandler.h>
}

#include "firmware.h"
#include "kyt.h"
#include "options.h"

namespace ifdkyt {

constexpr DWORD kMaxSlots = 8;
constexpr size_t kDeviceNameSize = 512;

struct SlotState {
    bool open;          // pcscd has a channel on this slot
    bool powered;       // powered up by this handler and not powered down since
    bool reportRemoval; // the card left during a call: the next poll reports the slot empty once
    DWORD protocol;     // SCARD_PROTOCOL_T0 or _T1 selected since the power-up, else 0
    unsigned char atr[MAX_ATR_SIZE];
    DWORD atrLength;
};

enum class EntryState { Free, Opening, Open, Closing };

struct Reader {
    EntryState state;
    DWORD index;
    char deviceName[kDeviceNameSize]; // as the reader's entry names it, options included
    char port[kDeviceNameSize];
    ReaderOptions options;
    DWORD channelId; // SCARD_ATTR_CHANNEL_ID
    KYT_ULONG numSlots;  // the slots pcscd was told of
    KYT_ULONG liveSlots; // those the reader now behind the port has
    ReaderIdentity identity;
    KYT_ULONG speed;
    ReaderHandle handle;  // null while the reader is out of reach
    ReaderHandle retired; // given up, closed once no call uses it
    bool closingRetired;
    bool recovering;
    unsigned linkFailures; // calls in a row that failed on the line
    std::chrono::steady_clock::time_point lastAttempt; // the end of the last attempt to reach it
    unsigned channels;     // open slots
    unsigned busy;         // calls running on the entry
    SlotState slots[kMaxSlots];
};

// The first channel of a reader opens it; later ones join it.  `channel` is
// the CHANNELID the port was named by, 0 for a port named by DEVICENAME.
RESPONSECODE OpenChannel(DWORD lun, const char *deviceName, DWORD channel);
// The last channel of a reader closes it.
RESPONSECODE CloseChannel(DWORD lun);

// A call in progress on one open slot: keeps the reader's entry and handle
// alive until it ends.
class SlotUse {
public:
    explicit SlotUse(DWORD lun);
    ~SlotUse();
    SlotUse(const SlotUse &) = delete;
    SlotUse &operator=(const SlotUse &) = delete;

    explicit operator bool() const { return reader_ != nullptr; }
    ReaderHandle Handle() const { return handle_; } // null: out of reach
    KYT_ULONG Slot() const { return slot_; }
    // Fields that stay as they are while a channel is open.
    const char *Port() const { return reader_->port; }
    const ReaderOptions &Options() const { return reader_->options; }
    KYT_ULONG NumSlots() const { return reader_->numSlots; }
    DWORD ChannelId() const { return reader_->channelId; }
    ReaderIdentity Identity() const;

    // The slot's card as the handler knows it.
    void SetCard(const unsigned char *atr, DWORD length) const;
    void Forget() const;   // no powered card, ATR or protocol
    void CardLeft() const; // Forget, and report the slot empty at the next poll
    bool TakeRemoval() const;
    bool Powered() const;
    DWORD CopyAtr(unsigned char *out) const;
    void SetProtocol(DWORD protocol) const;
    DWORD Protocol() const;

    // After every libkyt call: a link failure counts against the reader, and
    // the port's disappearance or a third failure in a row gives its handle
    // up.  True when the reader is out of reach afterwards.
    bool Report(KYT_STATUS status) const;
    // For a reader out of reach: opens it afresh when that is due and its
    // port exists.  True with a handle to use.
    bool Recover();

private:
    Reader *reader_ = nullptr;
    KYT_ULONG slot_ = 0;
    ReaderHandle handle_ = nullptr;
};

} // namespace ifdkyt

#endif
