#include "readers.h"

#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>

#include "ifd_kyt.h"
#include "link.h"
#include "log.h"
#include "status.h"
#include "table.h"

namespace ifdkyt {

namespace {

Reader g_readers[KYT_IFD_MAX_READERS];

Reader *FindFreeEntryLocked()
{
    for (Reader &reader : g_readers) {
        if (reader.state == EntryState::Free)
            return &reader;
    }
    return nullptr;
}

const Reader *FindClosingLocked(const char *deviceName)
{
    for (const Reader &reader : g_readers) {
        if (reader.state == EntryState::Closing && strcmp(reader.deviceName, deviceName) == 0)
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

// Joins a channel to a reader that is already open, or refuses it.
RESPONSECODE JoinLocked(Reader &reader, const char *deviceName, DWORD slot)
{
    if (strcmp(reader.deviceName, deviceName) != 0 || slot >= reader.numSlots) {
        if (slot < reader.numSlots)
            reader.slots[slot].openFailed = true;
        return IFD_COMMUNICATION_ERROR;
    }
    if (!reader.slots[slot].open) {
        reader.slots[slot] = SlotState{};
        reader.slots[slot].open = true;
        reader.slots[slot].everOpened = true;
        reader.channels++;
    }
    return IFD_SUCCESS;
}

// A reader whose port is not there yet: its channel opens all the same,
// with the declared slots reading empty, and a recovery thread waits for
// the port.
void OpenWaitingLocked(Reader &reader)
{
    reader.numSlots = reader.options.slots != 0 ? reader.options.slots : kDefaultSlots;
    reader.reach = Reach::Lost;
    Log(LogLevel::Error,
        "%s: the port does not exist (yet); the reader's %lu slots read empty until it appears "
        "(slots=N declares their number)",
        reader.port, reader.numSlots);
    reader.waitLogged = true;
    StartRecoveryLocked(reader);
}

// pcscd closes a reader whose slots it has no reader context for (16 in
// all, one per slot of every reader) without a word; the handler sees the
// close come before the last slot's channel was opened.
void ExplainEarlyCloseLocked(const Reader &reader)
{
    KYT_ULONG opened = 0;
    bool failed = false;
    for (KYT_ULONG slot = 0; slot < reader.numSlots; slot++) {
        opened += reader.slots[slot].everOpened ? 1 : 0;
        failed = failed || reader.slots[slot].openFailed;
    }
    if (opened == 0 || opened >= reader.numSlots || failed)
        return;
    Log(LogLevel::Error,
        "%s: pcscd closed the reader after opening %lu of its %lu slots: pcscd has %d reader contexts in all, "
        "one for each slot of every reader, and none was left for slot %lu; attach fewer readers (five "
        "three-slot or eight two-slot readers fill it)",
        reader.port, opened, reader.numSlots, KYT_IFD_MAX_READERS, opened);
}

} // namespace

std::mutex &TableLock()
{
    static std::mutex lock;
    return lock;
}

std::condition_variable &TableChanged()
{
    // Never destroyed: a thread may still wait on it when pcscd exits.
    static std::condition_variable *changed = new std::condition_variable;
    return *changed;
}

Reader *FindReaderLocked(DWORD index)
{
    for (Reader &reader : g_readers) {
        if (reader.state != EntryState::Free && reader.index == index)
            return &reader;
    }
    return nullptr;
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
        slot.cardSeen = false;
        slot.removal = false;
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
    reader.reach = Reach::Up;
}

void ReleaseEntryLocked(Reader &reader)
{
    reader = Reader{};
    TableChanged().notify_all();
}

void WakeEventThreadsLocked(Reader &reader)
{
    for (SlotState &slot : reader.slots)
        slot.wakePending = slot.open;
    TableChanged().notify_all();
}

RESPONSECODE OpenChannel(DWORD lun, const char *deviceName, DWORD channel)
{
    DWORD index = ReaderIndex(lun);
    DWORD slot = SlotIndex(lun);
    if (!deviceName || deviceName[0] == '\0' || strlen(deviceName) >= kDeviceNameSize || slot >= kMaxSlots)
        return IFD_COMMUNICATION_ERROR;

    std::unique_lock<std::mutex> lock(TableLock());
    for (Reader *reader = FindReaderLocked(index); reader; reader = FindReaderLocked(index)) {
        if (reader->state == EntryState::Open)
            return JoinLocked(*reader, deviceName, slot);
        TableChanged().wait(lock); // another channel of this reader is opening or closing it
    }
    // A reader closed under another index may still have the port (its
    // recovery thread finishes a scan): the port is one program's at a time.
    TableChanged().wait(lock, [deviceName] { return !FindClosingLocked(deviceName); });
    Reader *reader = FindFreeEntryLocked();
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
    KYT_STATUS status = PortExists(reader->port) ? OpenLink(reader->port, reader->options, &link) : ENOENT;
    bool waiting = status == ENOENT;
    if (status == KYT_SUCCESS && (link.numSlots == 0 || link.numSlots > kMaxSlots || slot >= link.numSlots)) {
        CloseLink(link.handle, true);
        status = EINVAL;
    }

    lock.lock();
    if (status != KYT_SUCCESS && !waiting) {
        LogOpenFailure(reader->port, status);
        RESPONSECODE failure = MapStatus(status, Op::Open, reader->port);
        ReleaseEntryLocked(*reader);
        return failure;
    }
    if (waiting) {
        OpenWaitingLocked(*reader);
    } else {
        reader->numSlots = link.numSlots;
        if (reader->options.slots != 0 && reader->options.slots != link.numSlots)
            Log(LogLevel::Info, "%s: option slots=%lu ignored: the reader has %lu slots", reader->port,
                reader->options.slots, link.numSlots);
        TakeLinkLocked(*reader, link);
    }
    reader->slots[slot].open = true;
    reader->slots[slot].everOpened = true;
    reader->channels = 1;
    reader->state = EntryState::Open;
    TableChanged().notify_all();
    return IFD_SUCCESS;
}

RESPONSECODE CloseChannel(DWORD lun)
{
    DWORD slot = SlotIndex(lun);
    std::unique_lock<std::mutex> lock(TableLock());
    Reader *reader = FindReaderLocked(ReaderIndex(lun));
    if (!reader || reader->state != EntryState::Open || slot >= reader->numSlots || !reader->slots[slot].open)
        return IFD_COMMUNICATION_ERROR;
    reader->slots[slot].open = false;
    // pcscd closes the channels of all a reader's slots together; the last
    // one's KYT_Close powers every slot off.
    if (--reader->channels > 0)
        return IFD_SUCCESS;

    ExplainEarlyCloseLocked(*reader);
    // No new call can start; running ones are waited for.
    reader->state = EntryState::Closing;
    TableChanged().wait(lock, [reader] { return reader->busy == 0; });
    if (reader->recovering) {
        // The recovery thread may be in the middle of a scan of the line
        // speeds: it closes whatever it finds and frees the entry itself.
        reader->abandoned = true;
        TableChanged().notify_all();
        return IFD_SUCCESS;
    }
    ReaderHandle handle = reader->handle;
    ReaderHandle retired = reader->retired;
    bool answers = reader->reach == Reach::Up;
    lock.unlock();
    if (retired)
        CloseLink(retired, false);
    if (handle)
        CloseLink(handle, answers);
    lock.lock();
    ReleaseEntryLocked(*reader);
    return IFD_SUCCESS;
}

SlotUse::SlotUse(DWORD lun) : lun_(lun)
{
    std::lock_guard<std::mutex> lock(TableLock());
    Reader *reader = FindReaderLocked(ReaderIndex(lun));
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
    std::lock_guard<std::mutex> lock(TableLock());
    reader_->busy--;
    TableChanged().notify_all();
}

const char *SlotUse::Port() const
{
    return reader_->port;
}
const ReaderOptions &SlotUse::Options() const
{
    return reader_->options;
}
KYT_ULONG SlotUse::NumSlots() const
{
    return reader_->numSlots;
}
DWORD SlotUse::ChannelId() const
{
    return reader_->channelId;
}
bool SlotUse::Logs(unsigned topics) const
{
    return (reader_->options.logTopics & topics) != 0;
}

RESPONSECODE SlotUse::Traced(unsigned topic, RESPONSECODE rv, const char *format, ...) const
{
    if (!reader_ || !Logs(topic))
        return rv;
    char call[256];
    va_list args;
    va_start(args, format);
    vsnprintf(call, sizeof call, format, args); // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(args);
    Log(LogLevel::Info, "%s: Lun 0x%lX: %s: %s", reader_->port, static_cast<unsigned long>(lun_), call,
        ResponseName(rv));
    return rv;
}

ReaderIdentity SlotUse::Identity() const
{
    std::lock_guard<std::mutex> lock(TableLock());
    return reader_->identity;
}

} // namespace ifdkyt
