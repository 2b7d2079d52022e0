// The handler's table of readers, as the IFD entry points use it.
//
// One entry per reader (pcscd's Lun carries the reader in its high 16 bits
// and the slot in its low 16 bits) holds the libkyt handle that all the
// reader's slots share, the channels (slots) pcscd has opened on it and, per
// slot, what the handler knows of the card.  A call counts itself busy on
// its entry and runs without the table lock; the handler's calls into
// libkyt on one reader take turns on its line, each with the timeouts its
// kind of call needs (calls.cpp).
//
// A reader that stops answering is silent: its slots keep the state they
// had, so that a short glitch of the line or the reader costs no session.
// One whose port disappears, or that stays silent for longer than
// kSilenceLimit, is lost: its handle is given up, its slots read empty, and
// a thread of the handler opens it afresh once it answers again
// (recovery.cpp).  A channel whose port does not exist yet opens lost, and
// its reader comes up the same way once the port appears.
#ifndef IFDKYT_READERS_H
#define IFDKYT_READERS_H

extern "C" {
#include <ifdhandler.h>
}

#include "firmware.h"
#include "kyt.h"
#include "options.h"

namespace ifdkyt {

struct Reader;

// The first channel of a reader opens it; later ones join it.  `channel` is
// the CHANNELID the port was named by, 0 for a port named by DEVICENAME.
RESPONSECODE OpenChannel(DWORD lun, const char *deviceName, DWORD channel);
// The last channel of a reader closes it.
RESPONSECODE CloseChannel(DWORD lun);

// The kinds of call into libkyt, each with its own timeouts (calls.cpp).
enum class CallKind {
    Poll,    // a slot's status: short, and skipped while another call has the line
    Card,    // power and protocol selection
    Command, // APDUs and escape commands: as long as the card may take
};

// What became of a call into libkyt.
enum class Outcome {
    Skipped,     // a poll found the line in use, or a silent reader asked lately: not run
    Unreachable, // the reader is lost, or the slot is not on it: not run
    Done,        // the reader answered; the status tells how the card or request fared
    Silent,      // the line failed; the reader is kept, its slots keep their state
    Lost,        // the line failed and the reader is given up
};

struct CallResult {
    Outcome outcome;
    KYT_STATUS status; // libkyt's, when the call ran
};

// A call in progress on one open slot: keeps the reader's entry and handle
// alive until it ends.
class SlotUse {
public:
    explicit SlotUse(DWORD lun);
    ~SlotUse();
    SlotUse(const SlotUse &) = delete;
    SlotUse &operator=(const SlotUse &) = delete;

    explicit operator bool() const { return reader_ != nullptr; }
    DWORD Lun() const { return lun_; }
    KYT_ULONG Slot() const { return slot_; }
    // Fields that stay as they are while a channel is open.
    const char *Port() const;
    const ReaderOptions &Options() const;
    KYT_ULONG NumSlots() const;
    DWORD ChannelId() const;
    ReaderIdentity Identity() const;
    // The reader's log= option (or the handler's default) asks for these.
    bool Logs(unsigned topics) const;
    // Logs one IFD call, "<port>: Lun 0x...: <call text>: <result>", when
    // the reader logs `topic`; returns rv.
    RESPONSECODE Traced(unsigned topic, RESPONSECODE rv, const char *format, ...) const
        __attribute__((format(printf, 4, 5)));

    // Runs `call(handle, slot)`, a call into libkyt, in the reader's turn
    // with the timeouts of `kind`, and takes its status into account: a
    // line failure makes the reader silent, and lost when its port is gone
    // or it has been silent too long.
    template <typename Call>
    CallResult Run(CallKind kind, Call &&call) const
    {
        LineTurn turn(*this, kind);
        if (!turn)
            return {turn.Refusal(), 0};
        KYT_STATUS status = call(handle_, slot_);
        return {Report(status), status};
    }

    // The slot's card as the handler knows it (cards.cpp).
    void SetCard(const unsigned char *atr, DWORD length) const;
    void Forget() const;   // no powered card, ATR or protocol
    void CardLeft() const; // Forget, and report the slot empty until pcscd saw it
    // True while the slot must read empty for a card that left; a call from
    // the slot's event thread (or, without one, a late enough call) ends it.
    bool ReportRemoval() const;
    void SawCard(bool present) const;   // the reader's word on the slot
    RESPONSECODE KnownPresence() const; // its last word, for when it cannot be asked
    bool Powered() const;
    DWORD CopyAtr(unsigned char *out) const;
    void SetProtocol(DWORD protocol) const;
    DWORD Protocol() const;

private:
    // The reader's line for the length of one call, with the call's
    // timeouts set (calls.cpp).
    class LineTurn {
    public:
        LineTurn(const SlotUse &use, CallKind kind);
        ~LineTurn();
        LineTurn(const LineTurn &) = delete;
        LineTurn &operator=(const LineTurn &) = delete;
        explicit operator bool() const { return held_; }
        Outcome Refusal() const { return refusal_; }

    private:
        const SlotUse &use_;
        bool held_ = false;
        Outcome refusal_ = Outcome::Unreachable;
    };

    Outcome Report(KYT_STATUS status) const; // reach.cpp

    Reader *reader_ = nullptr;
    DWORD lun_ = 0;
    KYT_ULONG slot_ = 0;
    ReaderHandle handle_ = nullptr; // null: the reader is lost, or the slot not on it
};

// pcscd's event thread of a slot waits here between two presence polls
// (TAG_IFD_POLLING_THREAD_WITH_TIMEOUT): at most a poll period, less when
// the slot's card changed or pcscd asks it to stop (polling.cpp).
RESPONSECODE WaitForCardEvent(DWORD lun, int timeoutMs);
// Ends the slot's current or next wait at once (TAG_IFD_STOP_POLLING_THREAD).
RESPONSECODE StopCardEventWait(DWORD lun);

} // namespace ifdkyt

#endif
