// Line speed and link timeouts.
#include <cerrno>
#include <cstdint>

#include "ccid.h"
#include "comport.h"
#include "device.h"
#include "speed.h"

const KYT_ULONG g_BaudRateTable[BAUD_RATE_COUNT] = {
    9600, 19200, 38400, 57600, 115200, 128000, 230400, 250000, 256000, 500000,
};

namespace {

// The reader's confirmation: 90 n.
constexpr KYT_ULONG SET_SPEED_REPLY_SIZE = 2;

// The port layer refuses speeds outside its five without a system call
// failing, so errno may hold nothing; such a failure is still an I/O error.
KYT_ULONG PortFailure()
{
    return errno != 0 ? static_cast<KYT_ULONG>(errno) : EIO;
}

bool GetPortSpeed(const ReaderDevice *device, KYT_ULONG *baudRate)
{
    uint32_t speed = 0;
    errno = 0;
    bool ok = ComPort_GetBaudRate(device->comPort, &speed);
    *baudRate = speed;
    return ok;
}

bool SetPortSpeed(const ReaderDevice *device, KYT_ULONG baudRate)
{
    errno = 0;
    return ComPort_SetBaudRate(device->comPort, static_cast<uint32_t>(baudRate));
}

bool ReaderConfirmed(const uint8_t *reply, KYT_ULONG replyLength, int32_t index)
{
    return replyLength >= SET_SPEED_REPLY_SIZE && reply[replyLength - 2] == SET_SPEED_CONFIRMED &&
           reply[replyLength - 1] == static_cast<uint8_t>(index);
}

} // namespace

int32_t FindBaudRate(KYT_ULONG baudRate)
{
    for (int32_t i = 0; i < BAUD_RATE_COUNT; i++) {
        if (g_BaudRateTable[i] == baudRate)
            return i;
    }
    return -1;
}

KYT_STATUS KYT_GetBaudRate(ReaderHandle hReader, KYT_ULONG *baudRate)
{
    ReaderDevice *device = LookupReader(hReader);
    if (device == nullptr || baudRate == nullptr)
        return EINVAL;

    // The host port's setting; the reader is not asked.
    ReaderLockGuard lock(device);
    if (!GetPortSpeed(device, baudRate))
        return PortFailure();
    return 0;
}

KYT_STATUS KYT_SetBaudRate(ReaderHandle hReader, KYT_ULONG baudRate)
{
    ReaderDevice *device = LookupReader(hReader);
    if (device == nullptr)
        return EINVAL;
    int32_t index = FindBaudRate(baudRate);
    if (index < 0)
        return EINVAL;

    ReaderLockGuard lock(device);
    KYT_ULONG current = 0;
    if (!GetPortSpeed(device, &current))
        return PortFailure();
    if (current == baudRate)
        return 0;

    // Make sure the port can run at the new speed before the reader is told
    // to move there; otherwise the two ends would lose each other.
    if (!SetPortSpeed(device, baudRate))
        return PortFailure();
    if (!SetPortSpeed(device, current))
        return PortFailure();

    const uint8_t command[] = {ESCAPE_SET_SPEED, static_cast<uint8_t>(index)};
    uint8_t reply[SET_SPEED_REPLY_SIZE];
    KYT_ULONG replyLength = sizeof(reply);
    SetTransportTarget(device, 0);
    int error = CCID_Escape(device, command, sizeof(command), reply, &replyLength);
    if (error != 0)
        return static_cast<KYT_ULONG>(error);

    // The reader has answered at the old speed; whatever it said, it may have
    // moved, so the port follows.
    KYT_ULONG result = ReaderConfirmed(reply, replyLength, index) ? 0 : EIO;
    if (!SetPortSpeed(device, baudRate))
        result = PortFailure();
    return result;
}

KYT_STATUS KYT_GetTimeouts(ReaderHandle hReader, KYT_TIMEOUTS *timeouts)
{
    ReaderDevice *device = LookupReader(hReader);
    if (device == nullptr || timeouts == nullptr)
        return EINVAL;

    ReaderLockGuard lock(device);
    timeouts->statusTimeout = device->statusTimeout;
    timeouts->statusRetries = device->statusRetries;
    timeouts->responseTimeout = device->responseTimeout;
    timeouts->responseRetries = device->responseRetries;
    return 0;
}

KYT_STATUS KYT_SetTimeouts(ReaderHandle hReader, const KYT_TIMEOUTS *timeouts)
{
    ReaderDevice *device = LookupReader(hReader);
    if (device == nullptr || timeouts == nullptr)
        return EINVAL;

    ReaderLockGuard lock(device);
    device->statusTimeout = timeouts->statusTimeout;
    device->statusRetries = timeouts->statusRetries;
    device->responseTimeout = timeouts->responseTimeout;
    device->responseRetries = timeouts->responseRetries;
    return 0;
}
