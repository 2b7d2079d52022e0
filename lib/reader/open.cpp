// Opening a reader: the port is opened at 9600 bit/s, the reader's line speed
// is found by asking for its firmware version at each speed in turn, and the
// version string names the model, which fixes the slots and their limits.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "ccid.h"
#include "comport.h"
#include "device.h"
#include "speed.h"

namespace {

// Line settings at open: 9600 bit/s, 8 data bits, no parity, 1 stop bit, no
// flow control.
constexpr uint32_t OPEN_SPEED = 9600;
constexpr uint8_t OPEN_DATA_BITS = 8;
constexpr char OPEN_PARITY = 'N';
constexpr uint8_t OPEN_STOP_BITS = 1;
constexpr char OPEN_FLOW_CONTROL = 'N';

// Link timing while the speed is unknown: a silent attempt must fail fast.
constexpr KYT_ULONG DETECT_STATUS_TIMEOUT = 100;
constexpr KYT_ULONG DETECT_RESPONSE_TIMEOUT = 100;
constexpr KYT_ULONG DEFAULT_RETRIES = 1;
// Working timing once the reader has answered.
constexpr KYT_ULONG WORKING_STATUS_TIMEOUT = 2000;
constexpr KYT_ULONG WORKING_RESPONSE_TIMEOUT = 10000;

constexpr int DETECT_ATTEMPTS = 10;

// Firmware version escape command; the version text starts at reply byte 5.
constexpr uint8_t FIRMWARE_VERSION_COMMAND[] = {0xE0, 0x00, 0x00, 0x18, 0x00};
constexpr KYT_ULONG FIRMWARE_REPLY_SIZE = 35;
constexpr size_t FIRMWARE_TEXT_OFFSET = 5;

constexpr KYT_ULONG BOTH_PROTOCOLS = KYT_PROTOCOL_T0 | KYT_PROTOCOL_T1;

// Per-slot limits, slot by slot: Protocols, CardMode, DefaultClock, MaxClock,
// DefaultDataRate, MaxDataRate, MaxIfsd.
constexpr ReaderCapabilities KYT7710P_SLOTS[] = {
    {BOTH_PROTOCOLS, 0, 4000, 4000, 10752, 344100, 512},
    {BOTH_PROTOCOLS, 0, 4000, 4000, 10752, 344100, 254},
    {BOTH_PROTOCOLS, 0, 4000, 4000, 10752, 125000, 254},
};
// Slot 0 of the KYT4460P is clocked at up to 13.56 MHz.
constexpr ReaderCapabilities KYT4460P_SLOTS[] = {
    {BOTH_PROTOCOLS, 0, 5000, 13560, 105938, 847500, 506},
    {BOTH_PROTOCOLS, 0, 5000, 5000, 13441, 625000, 506},
    {BOTH_PROTOCOLS, 0, 5000, 5000, 13441, 625000, 506},
};

struct ReaderModel {
    const char *name;      // compared with the version text, without terminator
    size_t minReplyLength; // reply length from which the name can be compared
    KYT_ULONG numSlots;
    KYT_ULONG maxBlockSize;
    const ReaderCapabilities *slots;
};

// Tried in this order; the first match wins, so a "KYT7710P_V" of another
// revision is a two-slot KYT7710P.
constexpr ReaderModel MODELS[] = {
    {"KYT7710P_V3", 16, 3, 261, KYT7710P_SLOTS},
    {"KYT7710P", 13, 2, 261, KYT7710P_SLOTS},
    {"KYT4460P", 13, 3, 506, KYT4460P_SLOTS},
};

const ReaderModel *IdentifyModel(const uint8_t *reply, KYT_ULONG replyLength)
{
    for (const ReaderModel &model : MODELS) {
        size_t nameLength = strlen(model.name);
        if (replyLength >= model.minReplyLength && memcmp(reply + FIRMWARE_TEXT_OFFSET, model.name, nameLength) == 0)
            return &model;
    }
    return nullptr;
}

// One detection attempt at the port's present speed: 0 with the model found,
// or the attempt's error.
int AskForModel(ReaderDevice *device, const ReaderModel **model)
{
    uint8_t reply[FIRMWARE_REPLY_SIZE];
    KYT_ULONG replyLength = sizeof(reply);

    SetTransportTarget(device, 0);
    int error = CCID_Escape(device, FIRMWARE_VERSION_COMMAND, sizeof(FIRMWARE_VERSION_COMMAND), reply, &replyLength);
    if (error != 0)
        return error;
    if (replyLength > sizeof(reply))
        return EIO;
    *model = IdentifyModel(reply, replyLength);
    return *model != nullptr ? 0 : EIO;
}

// Everything but the lock, which lives as long as the record, starts from
// zero; every detection message goes to slot 0 and the sequence starts at 0.
void ResetForDetection(ReaderDevice *device, int fd)
{
    device->comPort = fd;
    device->numSlots = 1;
    device->slotInfo = nullptr;
    device->maxBlockSize = 0;
    device->statusTimeout = DETECT_STATUS_TIMEOUT;
    device->responseTimeout = DETECT_RESPONSE_TIMEOUT;
    device->statusRetries = DEFAULT_RETRIES;
    device->responseRetries = DEFAULT_RETRIES;
    device->currentSlot = 0;
    device->sequenceNumber = 0;
    device->powerSelect = 0;
    SetTransportTarget(device, 0);
}

// The record is listed before the port is opened, but it is created whole
// first, its lock initialised and taken: until detection ends, whatever
// finds the record in the list meets a valid mutex held by the open, never
// a zeroed one, and calls that lock the reader before they read it
// (KYT_GetNumSlots, for one) wait for detection.  That is all it offers.
// The handle reaches the caller only from this open, and only once
// detection has succeeded.  A stale handle that happens to name a record
// being opened is no safer than any stale handle: calls that check the slot
// first read the record without the lock, and when the open fails the
// record is freed even if such a caller is waiting for its lock.
KYT_STATUS CreateListedDevice(ReaderDevice **created)
{
    ReaderDevice *device = static_cast<ReaderDevice *>(calloc(1, sizeof(ReaderDevice)));
    if (device == nullptr)
        return ENOMEM;
    device->comPort = -1;
    InitRecursiveMutex(&device->readerLock);
    pthread_mutex_lock(&device->readerLock);

    if (!AddDevice(device)) {
        pthread_mutex_unlock(&device->readerLock);
        pthread_mutex_destroy(&device->readerLock);
        free(device);
        return ENOMEM;
    }
    *created = device;
    return 0;
}

void DestroyDevice(ReaderDevice *device)
{
    pthread_mutex_destroy(&device->readerLock);
    free(device->slotInfo);
    free(device);
}

// Unlists and frees a record whose open failed.
void AbandonDevice(ReaderDevice *device)
{
    RemoveDevice(device);
    pthread_mutex_unlock(&device->readerLock);
    DestroyDevice(device);
}

// The port is handed back as it was found: its low-latency flag put back
// before the close releases the port to others.
void ClosePort(int fd, bool lowLatencyAdded)
{
    if (lowLatencyAdded)
        ComPort_EndLowLatency(fd);
    ComPort_Close(fd);
}

KYT_STATUS FinishOpen(ReaderDevice *device, int fd, int openError, ReaderHandle *phReader)
{
    if (fd < 0) {
        AbandonDevice(device);
        return openError != 0 ? static_cast<KYT_ULONG>(openError) : EIO;
    }

    // Before detection, so that its short replies are not held back by a
    // USB adapter's latency timer either.
    bool lowLatencyAdded = ComPort_RequestLowLatency(fd);
    int error = InitDevice(device, fd);
    if (error != 0) {
        ClosePort(fd, lowLatencyAdded);
        AbandonDevice(device);
        return static_cast<KYT_ULONG>(error);
    }

    device->lowLatencyAdded = lowLatencyAdded;
    pthread_mutex_unlock(&device->readerLock);
    *phReader = device;
    return 0;
}

int OpenPort(const char *portName)
{
    return ComPort_OpenA(portName, OPEN_SPEED, OPEN_DATA_BITS, OPEN_PARITY, OPEN_STOP_BITS, OPEN_FLOW_CONTROL);
}

int OpenPort(const wchar_t *portName)
{
    return ComPort_OpenW(portName, OPEN_SPEED, OPEN_DATA_BITS, OPEN_PARITY, OPEN_STOP_BITS, OPEN_FLOW_CONTROL);
}

// Both opens, narrow and wide port names alike: the record is listed (and
// locked) before the port is opened, and the open's errno is the status when
// the port cannot be opened.
template <typename Char>
KYT_STATUS OpenReader(const Char *portName, ReaderHandle *phReader)
{
    if (portName == nullptr || phReader == nullptr)
        return EINVAL;

    ReaderDevice *device = nullptr;
    KYT_STATUS status = CreateListedDevice(&device);
    if (status != 0)
        return status;

    errno = 0;
    int fd = OpenPort(portName);
    return FinishOpen(device, fd, errno, phReader);
}

} // namespace

int InitDevice(ReaderDevice *device, int fd)
{
    ReaderLockGuard lock(device);
    ResetForDetection(device, fd);

    const ReaderModel *model = nullptr;
    int error = EIO;
    for (int attempt = 1; attempt <= DETECT_ATTEMPTS; attempt++) {
        // The port keeps its previous speed when it cannot run at the one
        // asked for, so the later attempts repeat the fastest it can set.
        if (attempt > 1)
            ComPort_SetBaudRate(fd, static_cast<uint32_t>(g_BaudRateTable[attempt - 1]));
        error = AskForModel(device, &model);
        if (error == 0)
            break;
    }
    if (error != 0)
        return error;

    SlotInfo *slots = static_cast<SlotInfo *>(calloc(model->numSlots, sizeof(SlotInfo)));
    if (slots == nullptr)
        return ENOMEM;
    for (KYT_ULONG slot = 0; slot < model->numSlots; slot++)
        slots[slot].Reader = model->slots[slot];

    device->slotInfo = slots;
    device->maxBlockSize = model->maxBlockSize;
    device->numSlots = model->numSlots;
    device->statusTimeout = WORKING_STATUS_TIMEOUT;
    device->responseTimeout = WORKING_RESPONSE_TIMEOUT;
    return 0;
}

KYT_STATUS KYT_OpenA(const char *portName, ReaderHandle *phReader)
{
    return OpenReader(portName, phReader);
}

KYT_STATUS KYT_OpenW(const wchar_t *portName, ReaderHandle *phReader)
{
    return OpenReader(portName, phReader);
}

KYT_STATUS KYT_Close(ReaderHandle hReader)
{
    ReaderDevice *device = LookupReader(hReader);
    if (device == nullptr)
        return EINVAL;

    // Each power-off takes the reader's lock itself.
    for (KYT_ULONG slot = 0; slot < device->numSlots; slot++)
        KYT_PowerOffIcc(hReader, slot);

    RemoveDevice(device);
    ClosePort(device->comPort, device->lowLatencyAdded);
    DestroyDevice(device);
    return 0;
}
