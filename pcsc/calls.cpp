// The handler's calls into libkyt on one reader take turns on its line, and
// each sets the timeouts its kind needs before it runs: libkyt keeps one
// set of timeouts per reader, and a poll must not wait as long as an APDU.
//
// The reader acknowledges every command frame as soon as the frame has
// arrived, so the acknowledge timeout covers the frame's time on the line
// and a margin, and a reader that has gone silent costs little.  Only the
// response timeout depends on the card: a poll's answer comes from the
// reader at once, a power-on's within a second or two, while an APDU may
// keep the card busy for a minute (on-card key generation).
#include "readers.h"
#include "table.h"

namespace ifdkyt {

namespace {

// A poll that finds another call on the line gives up after this and
// answers from what is known, so that a slot's poll never waits for a long
// APDU on another slot.
constexpr auto kPollLineWait = std::chrono::milliseconds(300);

// The longest frame the handler makes libkyt send: a command block of the
// largest block size (506 bytes) with its 10-byte header and 3 framing bytes.
constexpr unsigned long kLongestFrameBytes = 506 + 10 + 3;
constexpr unsigned long kBitsPerByte = 10; // start bit, 8 data bits, stop bit
constexpr KYT_ULONG kAckMarginMs = 250;

// A poll's frames are 13 bytes; at 9600 bit/s they take 14 ms.  One
// acknowledge attempt only: a poll that fails costs no session (the slots
// keep their state), and the next poll comes a poll period later.
constexpr KYT_TIMEOUTS kPollTimeouts = {250, 0, 500, 1};
constexpr KYT_ULONG kCardResponseMs = 5000;
constexpr KYT_ULONG kMsPerSecond = 1000;

KYT_ULONG AckTimeoutMs(KYT_ULONG speed)
{
    if (speed == 0)
        speed = 9600;
    return kAckMarginMs + (kLongestFrameBytes * kBitsPerByte * kMsPerSecond + speed - 1) / speed;
}

KYT_TIMEOUTS TimeoutsFor(CallKind kind, KYT_ULONG speed, unsigned commandSeconds)
{
    switch (kind) {
    case CallKind::Poll:
        return kPollTimeouts;
    case CallKind::Card:
        return {AckTimeoutMs(speed), 1, kCardResponseMs, 1};
    case CallKind::Command:
    default:
        return {AckTimeoutMs(speed), 1, commandSeconds * kMsPerSecond, 1};
    }
}

} // namespace

SlotUse::LineTurn::LineTurn(const SlotUse &use, CallKind kind) : use_(use)
{
    if (!use.handle_)
        return;
    std::unique_lock<std::mutex> lock(TableLock());
    Reader &reader = *use.reader_;
    if (kind != CallKind::Poll) {
        TableChanged().wait(lock, [&reader] { return !reader.lineTaken; });
    } else if (reader.reach == Reach::Silent) {
        // A silent reader's line is held by a call that waits for it: no
        // use waiting behind it.
        if (reader.lineTaken) {
            refusal_ = Outcome::Skipped;
            return;
        }
    } else if (!TableChanged().wait_for(lock, kPollLineWait, [&reader] { return !reader.lineTaken; })) {
        refusal_ = Outcome::Skipped;
        return;
    }
    bool current = reader.handle == use.handle_;
    // A silent reader is asked by one poll a poll period, whichever slot's;
    // the others answer from what is known.
    bool probeDue = reader.reach != Reach::Silent || Clock::now() - reader.lastProbe >= kPollPeriod;
    if (!current || (kind == CallKind::Poll && !probeDue)) {
        refusal_ = current ? Outcome::Skipped : Outcome::Unreachable;
        return;
    }
    if (reader.reach == Reach::Silent)
        reader.lastProbe = Clock::now();
    KYT_TIMEOUTS timeouts = TimeoutsFor(kind, reader.speed, reader.options.commandSeconds);
    reader.lineTaken = true;
    held_ = true;
    lock.unlock();
    KYT_SetTimeouts(use.handle_, &timeouts);
}

SlotUse::LineTurn::~LineTurn()
{
    if (!held_)
        return;
    std::lock_guard<std::mutex> lock(TableLock());
    use_.reader_->lineTaken = false;
    TableChanged().notify_all();
}

} // namespace ifdkyt
