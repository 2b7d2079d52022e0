// The per-reader context shared by the reader API and the transport, and the
// registry of open readers.
#ifndef KYT_READER_DEVICE_H
#define KYT_READER_DEVICE_H

#include <pthread.h>

#include <cstdint>

#include "kyt.h"
#include "slot_info.h"

// Framing bytes of every frame on the line.
constexpr uint8_t FRAME_START = 0x02;
constexpr uint8_t FRAME_END = 0x03;

struct ReaderDevice {
    int32_t comPort;
    uint8_t commandStart;
    uint8_t commandEnd;
    uint8_t responseStart;
    uint8_t responseEnd;
    pthread_mutex_t readerLock; // recursive
    KYT_ULONG numSlots;
    SlotInfo *slotInfo;
    KYT_ULONG maxBlockSize;
    KYT_ULONG statusTimeout;   // ms
    KYT_ULONG responseTimeout; // ms
    KYT_ULONG statusRetries;
    KYT_ULONG responseRetries;
    uint8_t currentSlot;
    uint8_t sequenceNumber;
    uint8_t powerSelect;
};

struct DeviceNode {
    ReaderDevice *device;
    DeviceNode *next;
};

extern DeviceNode *g_pDeviceList;
extern pthread_mutex_t g_pDeviceListLock;

int AddDevice(ReaderDevice *device);
int RemoveDevice(ReaderDevice *device);
int IsValidReaderHandle(ReaderDevice *device);
KYT_ULONG MapWinErrorToKytError(KYT_ULONG code);

// Detects the reader on an opened port and sets up its slots; 0, EIO, ENOMEM
// or the firmware query's error.
int InitDevice(ReaderDevice *device, int fd);

// Creates a recursive POSIX mutex; results are not examined.
void InitRecursiveMutex(pthread_mutex_t *mutex);

// Steps 1 to 3 of every exported call: finds the handle in the registry under
// the list lock and releases that lock again.  Null when the handle is not
// listed.
ReaderDevice *LookupReader(ReaderHandle hReader);

// Stores the target slot and the framing bytes just before a transport call.
void SetTransportTarget(ReaderDevice *device, uint8_t slot);

// Holds a reader's lock for one operation.
class ReaderLockGuard {
public:
    explicit ReaderLockGuard(ReaderDevice *device) : mutex_(&device->readerLock) { pthread_mutex_lock(mutex_); }
    ~ReaderLockGuard() { pthread_mutex_unlock(mutex_); }
    ReaderLockGuard(const ReaderLockGuard &) = delete;
    ReaderLockGuard &operator=(const ReaderLockGuard &) = delete;

private:
    pthread_mutex_t *mutex_;
};

#endif
