// The reader-to-host path: whatever the reader sends is taken from the fuzz
// input.  A socket pair stands in for the serial line; the input is written
// to the reader's end before the call and that end is then shut for writing,
// so every read past the input ends at once instead of waiting for a timeout.
// A socket also keeps the input through the flush the frame link does before
// each command frame.
//
// Input: one byte choosing the command, one for its sizes, one for the
// reader record's settings, then the bytes of the line.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "ccid.h"

namespace {

constexpr size_t kMaxLine = 16 * 1024;

// Whatever the library writes to the reader is read and dropped, so that the
// socket never fills up.
void Drain(int fd)
{
    uint8_t sink[4096];
    while (read(fd, sink, sizeof sink) > 0) {
    }
}

bool Allowed(int result, std::initializer_list<int> statuses)
{
    for (int status : statuses)
        if (result == status)
            return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3 || size > kMaxLine + 3)
        return 0;
    uint8_t operation = data[0];
    uint8_t sizes = data[1];
    uint8_t settings = data[2];
    data += 3;
    size -= 3;

    int line[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, line) != 0)
        abort();
    if (size > 0 && write(line[1], data, size) != static_cast<ssize_t>(size))
        abort();
    shutdown(line[1], SHUT_WR);
    fcntl(line[1], F_SETFL, O_NONBLOCK);

    CcidLink device{};
    device.comPort = line[0];
    device.commandStart = FRAME_START;
    device.commandEnd = FRAME_END;
    device.responseStart = FRAME_START;
    device.responseEnd = FRAME_END;
    device.maxBlockSize = (settings & 0x0F) + 1; // small blocks make chains
    device.statusTimeout = 1;
    device.responseTimeout = 1;
    device.statusRetries = (settings >> 4) & 3;
    device.responseRetries = (settings >> 6) & 3;
    device.currentSlot = operation >> 6;
    device.sequenceNumber = 0;

    // Capacities of 0 to 255 bytes, and command lengths to match.
    KYT_ULONG capacity = sizes;
    KYT_ULONG commandLength = (sizes * 7u) & 0x3F;
    uint8_t *out = static_cast<uint8_t *>(malloc(capacity > 0 ? capacity : 1));
    uint8_t command[64];
    memset(command, 0xA5, sizeof command);

    KYT_ULONG length = capacity;
    int result;
    switch (operation % 7) {
    case 0:
        result = CCID_IccPowerOn(&device, out, &length);
        break;
    case 1: {
        uint8_t cardStatus = 0xFF;
        result = CCID_GetSlotStatus(&device, &cardStatus);
        if ((result == 0 || result == ENOMEDIUM) && cardStatus > 3)
            abort();
        length = 0;
        break;
    }
    case 2:
        result = CCID_IccPowerOff(&device);
        length = 0;
        break;
    case 3:
        result = CCID_Escape(&device, command, commandLength, out, &length);
        break;
    case 4:
        result = CCID_XfrBlock(&device, command, commandLength, out, &length);
        break;
    case 5: {
        // The frame link alone: what it delivers as a message is exactly one
        // message, as long as its header announces.
        uint8_t message[CCID_HEADER_SIZE] = {PC_TO_RDR_GETSLOTSTATUS};
        result = CCID_Transceive(&device, message, sizeof message, out, &length);
        if (result == 0) {
            if (length < CCID_HEADER_SIZE)
                abort();
            uint64_t announced = 0;
            for (unsigned i = 0; i < 4; i++)
                announced |= static_cast<uint64_t>(out[CCID_OFFSET_LENGTH + i]) << (8 * i);
            if (announced + CCID_HEADER_SIZE != length)
                abort();
        }
        break;
    }
    default: {
        CcidProtocolParameters parameters{};
        parameters.protocol = (sizes & 1) ? KYT_PROTOCOL_T1 : KYT_PROTOCOL_T0;
        result = CCID_SetParameters(&device, &parameters);
        length = 0;
        break;
    }
    }
    // Whatever the line brought, the answer fits the buffer it was given and
    // the status is one the callers know.
    if (result == 0 && length > capacity)
        abort();
    if (!Allowed(result, {0, EIO, E2BIG, ENOMEM, ETIMEDOUT, ENOMEDIUM, EINVAL}))
        abort();

    Drain(line[1]);
    free(out);
    close(line[0]);
    close(line[1]);
    return 0;
}
