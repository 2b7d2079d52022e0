// The per-reader record and the registry of open readers.  The record
// extends the transport's link record with what only the reader API keeps:
// its lock, its slots and their cards.
#ifndef KYT_READER_DEVICE_H
#define KYT_READER_DEVICE_H

#include <pthread.h>

#include <cstdint>

#include "kyt.h"
#include "link.h"
#include "slot_info.h"

struct ReaderDevice : CcidLink {
    pthread_mutex_t readerLock; // recursive
    KYT_ULONG numSlots;
    SlotInfo *slotInfo;
    bool lowLatencyAdded; // the open turned the port's low-latency flag on; the close turns it off
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
