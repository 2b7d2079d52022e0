// The PC/SC IFD handler for KYT serial readers, on top of libkyt's public API.
//
// One table entry per reader (pcscd's Lun >> 16) holds the libkyt handle that
// all the reader's slots share, the channels (slots) pcscd has opened on it,
// and per slot the ATR of the last power-up.  The table is guarded by one
// mutex that is never held across a call into libkyt: a call marks the entry
// busy, runs unlocked (libkyt serialises the reader itself), and the last
// channel's close waits until no call is running before KYT_Close.
//
// No C++ exception can leave this file: nothing here allocates or throws,
// and it is compiled without exceptions.
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

// pcsc-lite's headers declare the handler's functions without C linkage.
extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}

#include "ifd_kyt.h"
#include "kyt.h"

namespace {

constexpr DWORD kMaxSlots = 8;
constexpr size_t kDeviceNameSize = 512;
constexpr size_t kModelSize = 32;
constexpr size_t kPowerOnBufferSize = 64; // as large as libkyt's own ATR buffer

const unsigned char kFirmwareQuery[] = {0xE0, 0x00, 0x00, 0x18, 0x00};
constexpr unsigned char kSetSpeedCommand = 0x44;

struct SlotState {
    bool open;    // pcscd has a channel on this slot
    bool powered; // powered up by this handler and not powered down since
    unsigned char atr[MAX_ATR_SIZE];
    DWORD atrLength;
};

enum class EntryState { Free, Opening, Open, Closing };

struct Reader {
    EntryState state;
    DWORD index;
    char device[kDeviceNameSize];
    ReaderHandle handle;
    KYT_ULONG numSlots;
    char model[kModelSize];
    unsigned channels; // open slots
    unsigned busy;     // calls running on the handle
    SlotState slots[kMaxSlots];
};

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_changed = PTHREAD_COND_INITIALIZER;
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

// A call in progress on one open slot: keeps the reader's handle alive.
class SlotUse {
public:
    explicit SlotUse(DWORD lun)
    {
        pthread_mutex_lock(&g_lock);
        Reader *reader = FindLocked(ReaderIndex(lun));
        DWORD slot = SlotIndex(lun);
        if (reader && reader->state == EntryState::Open && slot < reader->numSlots &&
            reader->slots[slot].open) {
            reader->busy++;
            reader_ = reader;
            slot_ = slot;
        }
        pthread_mutex_unlock(&g_lock);
    }
    ~SlotUse()
    {
        if (!reader_)
            return;
        pthread_mutex_lock(&g_lock);
        reader_->busy--;
        pthread_cond_broadcast(&g_changed);
        pthread_mutex_unlock(&g_lock);
    }
    SlotUse(const SlotUse &) = delete;
    SlotUse &operator=(const SlotUse &) = delete;

    explicit operator bool() const { return reader_ != nullptr; }
    ReaderHandle Handle() const { return reader_->handle; }
    KYT_ULONG Slot() const { return slot_; }
    Reader &Entry() const { return *reader_; }

    // The slot's cached card state, read and written under the table lock.
    void Forget() const { SetCard(false, nullptr, 0); }
    void SetCard(bool powered, const unsigned char *atr, DWORD length) const
    {
        pthread_mutex_lock(&g_lock);
        SlotState &state = reader_->slots[slot_];
        state.powered = powered;
        state.atrLength = length;
        if (length > 0)
            memcpy(state.atr, atr, length);
        pthread_mutex_unlock(&g_lock);
    }
    bool Powered() const
    {
        pthread_mutex_lock(&g_lock);
        bool powered = reader_->slots[slot_].powered;
        pthread_mutex_unlock(&g_lock);
        return powered;
    }
    DWORD CopyAtr(unsigned char *out) const
    {
        pthread_mutex_lock(&g_lock);
        const SlotState &state = reader_->slots[slot_];
        DWORD length = state.atrLength;
        memcpy(out, state.atr, length);
        pthread_mutex_unlock(&g_lock);
        return length;
    }

private:
    Reader *reader_ = nullptr;
    DWORD slot_ = 0;
};

// Which operation a status comes from, where the mapping differs.
enum class Op { Open, Power, Protocol, Transmit, Control, Presence, Other };

// A failure that is not the card's: the port may be gone altogether.
RESPONSECODE LinkFailure(const char *device, KYT_STATUS status)
{
    if (status == ENODEV || status == ENXIO || status == ENOENT)
        return IFD_NO_SUCH_DEVICE;
    struct stat info;
    if (device && stat(device, &info) != 0 && (errno == ENOENT || errno == ENOTDIR))
        return IFD_NO_SUCH_DEVICE;
    return IFD_COMMUNICATION_ERROR;
}

// The one place where libkyt statuses become IFD response codes (the table
// is in ifd_kyt.h).
RESPONSECODE MapStatus(KYT_STATUS status, Op op, const char *device)
{
    switch (status) {
    case KYT_SUCCESS:
        return IFD_SUCCESS;
    case KYT_ERR_REMOVED_CARD:
    case ENOMEDIUM:
        return IFD_ICC_NOT_PRESENT;
    case KYT_ERR_UNRESPONSIVE_CARD:
    case ETIMEDOUT:
        return op == Op::Power ? IFD_ERROR_POWER_ACTION : IFD_RESPONSE_TIMEOUT;
    case KYT_ERR_UNPOWERED_CARD:
        return IFD_ERROR_POWER_ACTION;
    case KYT_ERR_UNSUPPORTED_CARD:
    case EMEDIUMTYPE:
        if (op == Op::Power)
            return IFD_ERROR_POWER_ACTION;
        if (op == Op::Protocol)
            return IFD_ERROR_PTS_FAILURE;
        return IFD_COMMUNICATION_ERROR;
    case KYT_ERR_PROTO_MISMATCH:
        return IFD_PROTOCOL_NOT_SUPPORTED;
    case E2BIG:
        return IFD_ERROR_INSUFFICIENT_BUFFER;
    case EINVAL:
        return op == Op::Control ? IFD_NOT_SUPPORTED : IFD_COMMUNICATION_ERROR;
    default:
        return LinkFailure(device, status);
    }
}

// The model string from the firmware reply: E1 00 00 18 <n>, then n bytes of
// "MODEL VERSION".
void ReadModel(ReaderHandle handle, char *model)
{
    unsigned char reply[64];
    KYT_ULONG length = 0;
    model[0] = '\0';
    if (KYT_Control(handle, 0, KYT_IOCTL_ESCAPE, kFirmwareQuery, sizeof kFirmwareQuery, reply,
                    sizeof reply, &length) != KYT_SUCCESS || length < 5 || length > sizeof reply)
        return;
    size_t text = reply[4];
    if (text > length - 5)
        text = length - 5;
    size_t used = 0;
    for (size_t i = 0; i < text && used + 1 < kModelSize; i++) {
        unsigned char c = reply[5 + i];
        if (c <= ' ' || c > '~')
            break;
        model[used++] = static_cast<char>(c);
    }
    model[used] = '\0';
}

RESPONSECODE OpenChannel(DWORD lun, const char *device)
{
    DWORD index = ReaderIndex(lun);
    DWORD slot = SlotIndex(lun);
    if (!device || device[0] == '\0' || strlen(device) >= kDeviceNameSize || slot >= kMaxSlots)
        return IFD_COMMUNICATION_ERROR;

    pthread_mutex_lock(&g_lock);
    for (;;) {
        Reader *reader = FindLocked(index);
        if (!reader)
            break;
        if (reader->state != EntryState::Open) {
            // Another channel of this reader is opening or closing it.
            pthread_cond_wait(&g_changed, &g_lock);
            continue;
        }
        RESPONSECODE result = IFD_SUCCESS;
        if (strcmp(reader->device, device) != 0 || slot >= reader->numSlots) {
            result = IFD_COMMUNICATION_ERROR;
        } else if (!reader->slots[slot].open) {
            reader->slots[slot] = SlotState{};
            reader->slots[slot].open = true;
            reader->channels++;
        }
        pthread_mutex_unlock(&g_lock);
        return result;
    }

    Reader *reader = nullptr;
    for (Reader &candidate : g_readers) {
        if (candidate.state == EntryState::Free) {
            reader = &candidate;
            break;
        }
    }
    if (!reader) {
        pthread_mutex_unlock(&g_lock);
        return IFD_COMMUNICATION_ERROR;
    }
    *reader = Reader{};
    reader->state = EntryState::Opening;
    reader->index = index;
    memcpy(reader->device, device, strlen(device) + 1);
    pthread_mutex_unlock(&g_lock);

    // Opening finds the line speed and the model, which takes a while on a
    // port without a reader: done without the table lock.
    ReaderHandle handle = nullptr;
    KYT_ULONG numSlots = 0;
    KYT_STATUS status = KYT_OpenA(device, &handle);
    if (status == KYT_SUCCESS) {
        status = KYT_GetNumSlots(handle, &numSlots);
        if (status == KYT_SUCCESS && (numSlots == 0 || numSlots > kMaxSlots || slot >= numSlots))
            status = EINVAL;
        if (status == KYT_SUCCESS) {
            ReadModel(handle, reader->model);
        } else {
            KYT_Close(handle);
        }
    }

    pthread_mutex_lock(&g_lock);
    if (status != KYT_SUCCESS) {
        *reader = Reader{};
    } else {
        reader->handle = handle;
        reader->numSlots = numSlots;
        reader->slots[slot].open = true;
        reader->channels = 1;
        reader->state = EntryState::Open;
    }
    pthread_cond_broadcast(&g_changed);
    pthread_mutex_unlock(&g_lock);
    return MapStatus(status, Op::Open, device);
}

RESPONSECODE PutBytes(const void *value, DWORD length, PDWORD capacity, PUCHAR out)
{
    if (*capacity < length) {
        *capacity = 0;
        return IFD_ERROR_INSUFFICIENT_BUFFER;
    }
    if (length > 0)
        memcpy(out, value, length);
    *capacity = length;
    return IFD_SUCCESS;
}

RESPONSECODE PutByte(unsigned char value, PDWORD capacity, PUCHAR out)
{
    return PutBytes(&value, 1, capacity, out);
}

} // namespace

#define IFD_EXPORT __attribute__((visibility("default")))

extern "C" {

IFD_EXPORT RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName)
{
    return OpenChannel(Lun, DeviceName);
}

// Channel n (1, 2, ...) is /dev/pcsc/n where that link exists, else the n-th
// serial port /dev/ttyS<n-1>; the first serial port is channel 1.
IFD_EXPORT RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel)
{
    if (Channel == 0 || Channel > 0xFFFF)
        return IFD_COMMUNICATION_ERROR;
    char device[64];
    snprintf(device, sizeof device, "/dev/pcsc/%lu", static_cast<unsigned long>(Channel));
    struct stat info;
    if (stat(device, &info) != 0)
        snprintf(device, sizeof device, "/dev/ttyS%lu", static_cast<unsigned long>(Channel - 1));
    return OpenChannel(Lun, device);
}

IFD_EXPORT RESPONSECODE IFDHCloseChannel(DWORD Lun)
{
    DWORD slot = SlotIndex(Lun);
    pthread_mutex_lock(&g_lock);
    Reader *reader = FindLocked(ReaderIndex(Lun));
    if (!reader || reader->state != EntryState::Open || slot >= reader->numSlots ||
        !reader->slots[slot].open) {
        pthread_mutex_unlock(&g_lock);
        return IFD_COMMUNICATION_ERROR;
    }
    reader->slots[slot] = SlotState{};
    reader->channels--;
    ReaderHandle handle = reader->handle;
    if (reader->channels > 0) {
        // The reader stays open for its other slots; this slot's card is
        // powered down.
        reader->busy++;
        pthread_mutex_unlock(&g_lock);
        KYT_PowerOffIcc(handle, slot);
        pthread_mutex_lock(&g_lock);
        reader->busy--;
        pthread_cond_broadcast(&g_changed);
        pthread_mutex_unlock(&g_lock);
        return IFD_SUCCESS;
    }
    // The last channel: no new call can start, running ones are waited for,
    // and KYT_Close powers every slot down.
    reader->state = EntryState::Closing;
    while (reader->busy > 0)
        pthread_cond_wait(&g_changed, &g_lock);
    pthread_mutex_unlock(&g_lock);
    KYT_Close(handle);
    pthread_mutex_lock(&g_lock);
    *reader = Reader{};
    pthread_cond_broadcast(&g_changed);
    pthread_mutex_unlock(&g_lock);
    return IFD_SUCCESS;
}

IFD_EXPORT RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value)
{
    if (!Length || !Value)
        return IFD_COMMUNICATION_ERROR;
    // Properties of the handler itself, asked before or without a channel.
    switch (Tag) {
    case TAG_IFD_SIMULTANEOUS_ACCESS:
        return PutByte(KYT_IFD_MAX_READERS, Length, Value);
    case TAG_IFD_THREAD_SAFE:      // readers run in parallel
    case TAG_IFD_SLOT_THREAD_SAFE: // libkyt serialises the slots of one reader
        return PutByte(1, Length, Value);
    default:
        break;
    }

    SlotUse use(Lun);
    if (!use) {
        *Length = 0;
        return IFD_COMMUNICATION_ERROR;
    }
    switch (Tag) {
    case TAG_IFD_SLOTS_NUMBER:
        return PutByte(static_cast<unsigned char>(use.Entry().numSlots), Length, Value);
    case TAG_IFD_ATR:
    case SCARD_ATTR_ATR_STRING: {
        unsigned char atr[MAX_ATR_SIZE];
        DWORD atrLength = use.CopyAtr(atr);
        return PutBytes(atr, atrLength, Length, Value);
    }
    case SCARD_ATTR_VENDOR_IFD_TYPE: {
        const char *model = use.Entry().model; // fixed while the reader is open
        return PutBytes(model, static_cast<DWORD>(strlen(model) + 1), Length, Value);
    }
    default:
        return IFD_ERROR_TAG;
    }
}

IFD_EXPORT RESPONSECODE IFDHSetCapabilities(DWORD Lun, DWORD Tag, DWORD Length, PUCHAR Value)
{
    (void)Lun;
    (void)Length;
    (void)Value;
    switch (Tag) {
    case TAG_IFD_ATR:
    case SCARD_ATTR_ATR_STRING:
    case SCARD_ATTR_VENDOR_IFD_TYPE:
    case TAG_IFD_SLOTS_NUMBER:
    case TAG_IFD_SIMULTANEOUS_ACCESS:
    case TAG_IFD_THREAD_SAFE:
    case TAG_IFD_SLOT_THREAD_SAFE:
        return IFD_ERROR_VALUE_READ_ONLY;
    default:
        return IFD_ERROR_TAG;
    }
}

// pcscd asks for one protocol.  A PTS1 of 0x11 asks to keep the default
// transmission factors; any other PTS1 leaves the choice of factors to
// libkyt, which takes the fastest that card and slot allow.  PTS2 and PTS3
// have no counterpart in the reader and are ignored.
IFD_EXPORT RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR Flags, UCHAR PTS1,
                                       UCHAR PTS2, UCHAR PTS3)
{
    (void)PTS2;
    (void)PTS3;
    SlotUse use(Lun);
    if (!use)
        return IFD_COMMUNICATION_ERROR;
    if (Protocol != SCARD_PROTOCOL_T0 && Protocol != SCARD_PROTOCOL_T1)
        return IFD_PROTOCOL_NOT_SUPPORTED;
    KYT_ULONG request = Protocol == SCARD_PROTOCOL_T0 ? KYT_PROTOCOL_T0 : KYT_PROTOCOL_T1;
    if ((Flags & IFD_NEGOTIATE_PTS1) && PTS1 == 0x11)
        request |= KYT_PROTOCOL_DEFAULT_SPEED;
    KYT_ULONG active = 0;
    KYT_STATUS status = KYT_SetProtocol(use.Handle(), use.Slot(), request, &active);
    if (status == KYT_ERR_REMOVED_CARD)
        use.Forget();
    if (status == KYT_SUCCESS && (active & request & (KYT_PROTOCOL_T0 | KYT_PROTOCOL_T1)) == 0)
        return IFD_PROTOCOL_NOT_SUPPORTED;
    return MapStatus(status, Op::Protocol, use.Entry().device);
}

IFD_EXPORT RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength)
{
    if (!AtrLength)
        return IFD_COMMUNICATION_ERROR;
    DWORD capacity = Atr ? *AtrLength : 0;
    *AtrLength = 0;
    SlotUse use(Lun);
    if (!use)
        return IFD_COMMUNICATION_ERROR;

    if (Action == IFD_POWER_DOWN) {
        KYT_STATUS status = KYT_PowerOffIcc(use.Handle(), use.Slot());
        use.Forget();
        // An empty slot is as powered down as can be.
        if (status == KYT_ERR_REMOVED_CARD)
            return IFD_SUCCESS;
        return MapStatus(status, Op::Power, use.Entry().device);
    }
    if (Action != IFD_POWER_UP && Action != IFD_RESET)
        return IFD_NOT_SUPPORTED;

    // The reader knows no warm reset: a reset is a power cycle, which also
    // powers up a card that was not powered.
    use.Forget();
    if (Action == IFD_RESET) {
        KYT_STATUS status = KYT_PowerOffIcc(use.Handle(), use.Slot());
        if (status != KYT_SUCCESS && status != KYT_ERR_REMOVED_CARD)
            return MapStatus(status, Op::Power, use.Entry().device);
    }
    unsigned char atr[kPowerOnBufferSize];
    KYT_ULONG length = sizeof atr;
    KYT_STATUS status = KYT_PowerOnIcc(use.Handle(), use.Slot(), atr, &length);
    if (status != KYT_SUCCESS)
        return MapStatus(status, Op::Power, use.Entry().device);
    if (length > MAX_ATR_SIZE) {
        // Not an ISO 7816-3 ATR: pcscd could not keep it.
        KYT_PowerOffIcc(use.Handle(), use.Slot());
        return IFD_ERROR_POWER_ACTION;
    }
    use.SetCard(true, atr, static_cast<DWORD>(length));
    if (length > capacity)
        return IFD_ERROR_INSUFFICIENT_BUFFER;
    memcpy(Atr, atr, length);
    *AtrLength = static_cast<DWORD>(length);
    return IFD_SUCCESS;
}

IFD_EXPORT RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER SendPci, PUCHAR TxBuffer, DWORD TxLength,
                               PUCHAR RxBuffer, PDWORD RxLength, PSCARD_IO_HEADER RecvPci)
{
    if (!RxLength)
        return IFD_COMMUNICATION_ERROR;
    DWORD capacity = RxBuffer ? *RxLength : 0;
    *RxLength = 0;
    if (!TxBuffer || TxLength == 0)
        return IFD_COMMUNICATION_ERROR;
    if (capacity < 2) // not even room for SW1 SW2
        return IFD_ERROR_INSUFFICIENT_BUFFER;
    SlotUse use(Lun);
    if (!use)
        return IFD_COMMUNICATION_ERROR;

    KYT_ULONG length = capacity;
    KYT_STATUS status = KYT_ExchangeApdu(use.Handle(), use.Slot(), TxBuffer, TxLength, RxBuffer, &length);
    if (status == KYT_SUCCESS) {
        if (length > capacity)
            return IFD_COMMUNICATION_ERROR;
        *RxLength = static_cast<DWORD>(length);
        if (RecvPci)
            RecvPci->Protocol = SendPci.Protocol;
        return IFD_SUCCESS;
    }
    if (status == KYT_ERR_REMOVED_CARD)
        use.Forget();
    return MapStatus(status, Op::Transmit, use.Entry().device);
}

IFD_EXPORT RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer, DWORD TxLength,
                         PUCHAR RxBuffer, DWORD RxLength, LPDWORD pdwBytesReturned)
{
    if (pdwBytesReturned)
        *pdwBytesReturned = 0;
    SlotUse use(Lun);
    if (!use)
        return IFD_COMMUNICATION_ERROR;

    if (dwControlCode == KYT_IFD_IOCTL_GET_FEATURE_REQUEST)
        return IFD_SUCCESS; // no features: an empty list
    if (dwControlCode != KYT_IFD_IOCTL_ESCAPE)
        return IFD_ERROR_NOT_SUPPORTED;
    if (!TxBuffer || TxLength == 0)
        return IFD_COMMUNICATION_ERROR;
    if (TxBuffer[0] == kSetSpeedCommand)
        return IFD_NOT_SUPPORTED;
    if (!RxBuffer || RxLength == 0)
        return IFD_ERROR_INSUFFICIENT_BUFFER;

    KYT_ULONG returned = 0;
    KYT_STATUS status = KYT_Control(use.Handle(), use.Slot(), KYT_IOCTL_ESCAPE, TxBuffer, TxLength,
                                    RxBuffer, RxLength, &returned);
    if (status != KYT_SUCCESS)
        return MapStatus(status, Op::Control, use.Entry().device);
    if (returned > RxLength)
        return IFD_COMMUNICATION_ERROR;
    if (pdwBytesReturned)
        *pdwBytesReturned = static_cast<DWORD>(returned);
    return IFD_SUCCESS;
}

IFD_EXPORT RESPONSECODE IFDHICCPresence(DWORD Lun)
{
    SlotUse use(Lun);
    if (!use)
        return IFD_COMMUNICATION_ERROR;
    KYT_ULONG icc = KYT_ICC_UNKNOWN;
    KYT_STATUS status = KYT_GetIccStatus(use.Handle(), use.Slot(), &icc);
    if (status != KYT_SUCCESS) {
        if (status == KYT_ERR_REMOVED_CARD)
            use.Forget();
        return MapStatus(status, Op::Presence, use.Entry().device);
    }
    switch (icc) {
    case KYT_ICC_POWERED:
        return IFD_SUCCESS;
    case KYT_ICC_PRESENT:
        if (use.Powered()) {
            // Powered by us, unpowered now: pulled and put back since the
            // last poll.
            use.Forget();
            return IFD_ICC_NOT_PRESENT;
        }
        return IFD_SUCCESS;
    case KYT_ICC_ABSENT:
        use.Forget();
        return IFD_ICC_NOT_PRESENT;
    default:
        return IFD_COMMUNICATION_ERROR;
    }
}

} // extern "C"
