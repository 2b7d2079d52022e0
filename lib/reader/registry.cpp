// The registry of open readers, the library's constructor and destructor, and
// the steps every exported call shares.
#include <cerrno>
#include <cstdlib>

#include "device.h"

DeviceNode *g_pDeviceList;
pthread_mutex_t g_pDeviceListLock;

void InitRecursiveMutex(pthread_mutex_t *mutex)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

namespace {

// Run when the library is loaded and unloaded; nothing else calls them.
__attribute__((constructor)) void KYT_Init()
{
    g_pDeviceList = nullptr;
    InitRecursiveMutex(&g_pDeviceListLock);
}

// Readers still open at unload are neither closed nor freed: their owner may
// be a thread that is still running.
__attribute__((destructor)) void KYT_Fini()
{
    pthread_mutex_destroy(&g_pDeviceListLock);
}

} // namespace

// The newest reader stands first.
int AddDevice(ReaderDevice *device)
{
    DeviceNode *node = static_cast<DeviceNode *>(malloc(sizeof(DeviceNode)));
    if (node == nullptr)
        return 0;

    pthread_mutex_lock(&g_pDeviceListLock);
    node->device = device;
    node->next = g_pDeviceList;
    g_pDeviceList = node;
    pthread_mutex_unlock(&g_pDeviceListLock);
    return 1;
}

int RemoveDevice(ReaderDevice *device)
{
    int removed = 0;

    pthread_mutex_lock(&g_pDeviceListLock);
    DeviceNode **link = &g_pDeviceList;
    for (DeviceNode *node = g_pDeviceList; node != nullptr; link = &node->next, node = node->next) {
        if (node->device == device) {
            *link = node->next;
            free(node);
            removed = 1;
            break;
        }
    }
    pthread_mutex_unlock(&g_pDeviceListLock);
    return removed;
}

int IsValidReaderHandle(ReaderDevice *device)
{
    int listed = 0;

    pthread_mutex_lock(&g_pDeviceListLock);
    for (DeviceNode *node = g_pDeviceList; node != nullptr; node = node->next) {
        if (node->device == device) {
            listed = 1;
            break;
        }
    }
    pthread_mutex_unlock(&g_pDeviceListLock);
    return listed;
}

// The list lock is held only for the search, never during an exchange.
ReaderDevice *LookupReader(ReaderHandle hReader)
{
    return IsValidReaderHandle(hReader) ? hReader : nullptr;
}

void SetTransportTarget(ReaderDevice *device, uint8_t slot)
{
    device->commandStart = FRAME_START;
    device->commandEnd = FRAME_END;
    device->responseStart = FRAME_START;
    device->responseEnd = FRAME_END;
    device->currentSlot = slot;
}

// The card operations report a missing card and an unusable ATR with the
// library's own codes; every other result passes unchanged.
KYT_ULONG MapWinErrorToKytError(KYT_ULONG code)
{
    switch (code) {
    case ENOMEDIUM:
        return KYT_ERR_REMOVED_CARD;
    case EMEDIUMTYPE:
        return KYT_ERR_UNSUPPORTED_CARD;
    default:
        return code;
    }
}

KYT_STATUS KYT_GetNumSlots(ReaderHandle hReader, KYT_ULONG *pNumSlots)
{
    ReaderDevice *device = LookupReader(hReader);
    if (device == nullptr || pNumSlots == nullptr)
        return EINVAL;

    ReaderLockGuard lock(device);
    *pNumSlots = device->numSlots;
    return 0;
}
