#include "readers.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "ifd_kyt.h"
#include "link.h"
#include "log.h"
#include "status.h"

namespace ifdkyt {

namespace {

using Clock = std::chrono::steady_clock;

// Link failures in a row after which a reader whose port is still there
// counts as out of reach (as when it lost power and came back at another
// speed); one failure may be a disturbed frame.
constexpr unsigned kFailuresBeforeReopen = 3;
// Each attempt to reach a reader again is a detection scan of up to about
// two seconds on a port without a reader: one at a time, and a pause after.
constexpr auto kRecoveryInterval = std::chrono::seconds(2);

std::mutex g_lock;
std::condition_variable g_changed;
Reader g_readers[KYT_IFD_MAX_READERS];

DWORD ReaderIndex(DWORD lun) { return (lun >> 16) & 0xFFFF; }
DWORD SlotIndex(DWORD lun) { return lun & 0xFFFF; }

Reader *FindLocked(DWORD index)
{
    for (Reader &reader : g_readers) {
        if (reader.state != EntryState::Free && reader.index == index)
            return &reader;
    }
    return nullptr;
}

Reader *FreeEntryLocked()
{
    for (Reader &reader : g_readers) {
        if (reader.state == EntryState::Free)
            return &reader;
    }
    return nullptr;
}

// SCARD_ATTR_CHANNEL_ID of a serial port: 0xDDDDCCCC with DDDD 0001 and
// CCCC the port's number counted from 1, as channels are: the number that
// ends the name of the device the port leads to, plus one (/dev/ttyS0 and
// /dev/ttyUSB0 are 1); 0 when the name ends in no number.
constexpr DWORD kSerialChannelType = 0x00010000;
constexpr size_t kMaxPortDigits = 4;

DWORD SerialChannelId(const char *port)
{
    char resolved[PATH_MAX];
    const char *name = realpath(port, resolved) ? resolved : port;
    size_t end = strlen(name), start = end;
    while (start > 0 && name[start - 1] >= '0' && name[start - 1] <= '9' && end - start < kMaxPortDigits)
        start--;
    if (start == end || (start > 0 && name[start - 1] >= '0' && name[start - 1] <= '9'))
        return kSerialChannelType;
    return kSerialChannelType | static_cast<DWORD>(strtoul(name + start, nullptr, 10) + 1);
}

bool PortExists(const char *port)
{
    struct stat info;
    return stat(port, &info) == 0;
}

void ForgetCardsLocked(Reader &reader)
{
    for (SlotState &slot : reader.slots) {
        slot.powered = false;
        slot.reportRemoval = false;
        slot.protocol = 0;
        slot.atrLength = 0;
    }
}

void TakeLinkLocked(Reader &reader, const Link &link)
{
    reader.handle = link.handle;
    reader.liveSlots = std::min(link.numSlots, reader.numSlots);
    reader.identity = link.identity;
    reader.speed = link.speed;
    reader.linkFailures = 0;
}

// The reader's handle is given up; whoever ends the last call on the entry
// closes it.  Its slots read as empty from now on.
void GiveUpLocked(Reader &reader, bool portGone)
{
    reader.retired = reader.handle;
    reader.handle = nullptr;
    reader.linkFailures = 0;
    // A pulled adapter is looked for again as soon as its port is back; a
    // reader that stopped answering gets a pause first.
    reader.lastAttempt = portGone ? Clock::time_point() : Clock::now();
    ForgetCardsLocked(reader);
    Log(LogLevel::Info, "%s: %s; its slots read empty until it answers again", reader.port,
        portGone ? "the port is gone" : "the reader does not answer");
}

// Joins a channel to a reader that is already open, or refuses it.
RESPONSECODE JoinLocked(Reader &reader, const char *deviceName, DWORD slot)
{
    if (strcmp(reader.deviceName, deviceName) != 0 || slot >= reader.numSlots)
        return IFD_COMMUNICATION_ERROR;
    if (!reader.slots[slot].open) {
        reader.slots[slot] = SlotState{};
        reader.slots[slot].open = true;
        reader.channels++;
    }
    return IFD_SUCCESS;
}

} // namespace

RESPONSECODE OpenChannel(DWORD lun, const char *deviceName, DWORD channel)
{
    DWORD index = ReaderIndex(lun);
    DWORD slot = SlotIndex(lun);
    if (!deviceName || deviceName[0] == '\0' || strlen(deviceName) >= kDeviceNameSize || slot >= kMaxSlots)
        return IFD_COMMUNICATION_ERROR;

    std::unique_lock<std::mutex> lock(g_lock);
    for (Reader *reader = FindLocked(index); reader; reader = FindLocked(index)) {
        if (reader->state == EntryState::Open)
            return JoinLocked(*reader, deviceName, slot);
        g_changed.wait(lock); // another channel of this reader is opening or closing it
    }
    Reader *reader = FreeEntryLocked();
    if (!reader)
        return IFD_COMMUNICATION_ERROR;
    *reader = Reader{};
    if (!ParseDeviceName(deviceName, reader->port, sizeof reader->port, &reader->options)) {
        Log(LogLevel::Error, "%s: not a usable port name", deviceName);
        *reader = Reader{};
        return IFD_COMMUNICATION_ERROR;
    }
    reader->state = EntryState::Opening;
    reader->index = index;
    reader->channelId = channel != 0 ? kSerialChannelType | channel : SerialChannelId(reader->port);
    memcpy(reader->deviceName, deviceName, strlen(deviceName) + 1);
    lock.unlock();

    // Opening scans the line speeds, which takes a while on a port without
    // a reader: done without the table lock.
    Link link;
    KYT_STATUS status = OpenLink(reader->port, reader->options, &link);
    if (status == KYT_SUCCESS && (link.numSlots == 0 || link.numSlots > kMaxSlots || slot >= link.numSlots)) {
        CloseLink(link.handle, true);
        status = EINVAL;
    }
    RESPONSECODE result = MapStatus(status, Op::Open, reader->port);

    lock.lock();
    if (status != KYT_SUCCESS) {
        *reader = Reader{};
    } else {
        reader->numSlots = link.numSlots;
        TakeLinkLocked(*reader, link);
        reader->slots[slot].open = true;
        reader->channels = 1;
        reader->state = EntryState::Open;
    }
    g_changed.notify_all();
    return result;
}

RESPONSECODE CloseChannel(DWORD lun)
{
    DWORD slot = SlotIndex(lun);
    std::unique_lock<std::mutex> lock(g_lock);
    Reader *reader = FindLocked(ReaderIndex(lun));
    if (!reader || reader->state != EntryState::Open || slot >= reader->numSlots || !reader->slots[slot].open)
        return IFD_COMMUNICATION_ERROR;
    reader->slots[slot] = SlotState{};
    // pcscd closes the channels of all a reader's slots together; the last
    // one's KYT_Close powers every slot off.
    if (--reader->channels > 0)
        return IFD_SUCCESS;

    // No new call can start; running ones are waited for.
    reader->state = EntryState::Closing;
    g_changed.wait(lock, [reader] { return reader->busy == 0; });
    ReaderHandle handle = reader->handle;
    ReaderHandle retired = reader->retired;
    bool answers = reader->linkFailures == 0;
    lock.unlock();
    if (retired)
        CloseLink(retired, false);
    if (handle)
        CloseLink(handle, answers);
    lock.lock();
    *reader = Reader{};
    g_changed.notify_all();
    return IFD_SUCCESS;
}

SlotUse::SlotUse(DWORD lun)
{
    std::lock_guard<std::mutex> lock(g_lock);
    Reader *reader = FindLocked(ReaderIndex(lun));
    DWORD slot = SlotIndex(lun);
    if (reader && reader->state == EntryState::Open && slot < reader->numSlots && reader->slots[slot].open) {
        reader->busy++;
        reader_ = reader;
        slot_ = slot;
        handle_ = slot < reader->liveSlots ? reader->handle : nullptr;
    }
}

SlotUse::~SlotUse()
{
    if (!reader_)
        return;
    std::unique_lock<std::mutex> lock(g_lock);
    // The last call out closes a handle that was given up meanwhile.
    if (reader_->busy == 1 && reader_->retired) {
        ReaderHandle retired = reader_->retired;
        reader_->retired = nullptr;
        reader_->closingRetired = true;
        lock.unlock();
        CloseLink(retired, false);
        lock.lock();
        reader_->closingRetired = false;
    }
    reader_->busy--;
    g_changed.notify_all();
}

ReaderIdentity SlotUse::Identity() const
{
    std::lock_guard<std::mutex> lock(g_lock);
    return reader_->identity;
}

void SlotUse::SetCard(const unsigned char *atr, DWORD length) const
{
    std::lock_guard<std::mutex> lock(g_lock);
    SlotState &state = reader_->slots[slot_];
    state.powered = true;
    state.reportRemoval = false;
    state.protocol = 0;
    state.atrLength = std::min<DWORD>(length, sizeof state.atr);
    memcpy(state.atr, atr, state.atrLength);
}

void SlotUse::Forget() const
{
    std::lock_guard<std::mutex> lock(g_lock);
    SlotState &state = reader_->slots[slot_];
    state.powered = false;
    state.protocol = 0;
    state.atrLength = 0;
}

void SlotUse::CardLeft() const
{
    Forget();
    std::lock_guard<std::mutex> lock(g_lock);
    reader_->slots[slot_].reportRemoval = true;
}

bool SlotUse::TakeRemoval() const
{
    std::lock_guard<std::mutex> lock(g_lock);
    bool removal = reader_->slots[slot_].reportRemoval;
    reader_->slots[slot_].reportRemoval = false;
    return removal;
}

bool SlotUse::Powered() const
{
    std::lock_guard<std::mutex> lock(g_lock);
    return reader_->slots[slot_].powered;
}

DWORD SlotUse::CopyAtr(unsigned char *out) const
{
    std::lock_guard<std::mutex> lock(g_lock);
    const SlotState &state = reader_->slots[slot_];
    memcpy(out, state.atr, state.atrLength);
    return state.atrLength;
}

void SlotUse::SetProtocol(DWORD protocol) const
{
    std::lock_guard<std::mutex> lock(g_lock);
    reader_->slots[slot_].protocol = protocol;
}

DWORD SlotUse::Protocol() const
{
    std::lock_guard<std::mutex> lock(g_lock);
    return reader_->slots[slot_].protocol;
}

bool SlotUse::Report(KYT_STATUS status) const
{
    if (!handle_)
        return true;
    bool linkFailure = IsLinkFailure(status);
    bool portGone = linkFailure && PortGone(status, reader_->port);
    std::lock_guard<std::mutex> lock(g_lock);
    if (reader_->handle != handle_)
        return true; // given up by another call meanwhile
    if (!linkFailure)
        reader_->linkFailures = 0;
    else if (portGone || ++reader_->linkFailures >= kFailuresBeforeReopen)
        GiveUpLocked(*reader_, portGone);
    return reader_->handle == nullptr;
}

bool SlotUse::Recover()
{
    std::unique_lock<std::mutex> lock(g_lock);
    Reader &reader = *reader_;
    if (reader.handle) {
        // Back already, through another slot's poll.
        handle_ = slot_ < reader.liveSlots ? reader.handle : nullptr;
        return handle_ != nullptr;
    }
    bool due = !reader.recovering && !reader.retired && !reader.closingRetired &&
               Clock::now() - reader.lastAttempt >= kRecoveryInterval;
    // While the port is gone a poll costs a stat, not a detection scan.
    if (!due || !PortExists(reader.port))
        return false;
    reader.recovering = true;
    lock.unlock();

    Link link;
    KYT_STATUS status = OpenLink(reader.port, reader.options, &link);

    lock.lock();
    reader.recovering = false;
    reader.lastAttempt = Clock::now();
    if (status != KYT_SUCCESS) {
        Log(LogLevel::Debug, "%s: no reader answers yet (status 0x%lX)", reader.port, status);
        return false;
    }
    if (link.numSlots != reader.numSlots)
        Log(LogLevel::Error, "%s: the reader now has %lu slots, not %lu; the others stay empty", reader.port,
            link.numSlots, reader.numSlots);
    TakeLinkLocked(reader, link);
    ForgetCardsLocked(reader);
    Log(LogLevel::Info, "%s: the reader answers again", reader.port);
    handle_ = slot_ < reader.liveSlots ? reader.handle : nullptr;
    return handle_ != nullptr;
}

} // namespace ifdkyt
