// Low latency on USB-serial adapters.  An FTDI adapter holds every burst
// shorter than a USB packet until its latency timer runs out, 16 ms by
// default: each 4-byte acknowledge and each short response reaches the host
// that much late, which makes a short APDU several times slower than the
// line.  The driver's low-latency flag (ASYNC_LOW_LATENCY) turns the timer
// down to 1 ms, and an ordinary user may set it.  Drivers without the
// serial ioctls (pseudo-terminals, many on-board UARTs) are left alone.
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "comport.h"

namespace {

// Sets or clears the flag; true when this call changed it.  errno is kept
// as it was: none of this may change what the open or the close report.
bool ChangeLowLatency(int fd, bool on)
{
    int saved = errno;
    struct serial_struct serial {};
    bool ok = ioctl(fd, TIOCGSERIAL, &serial) == 0;
    bool isOn = ok && (serial.flags & ASYNC_LOW_LATENCY) != 0;
    bool changed = false;
    if (ok && isOn != on) {
        if (on)
            serial.flags |= ASYNC_LOW_LATENCY;
        else
            serial.flags &= ~ASYNC_LOW_LATENCY;
        changed = ioctl(fd, TIOCSSERIAL, &serial) == 0;
    }
    errno = saved;
    return changed;
}

} // namespace

bool ComPort_RequestLowLatency(int fd)
{
    return ChangeLowLatency(fd, true);
}

void ComPort_EndLowLatency(int fd)
{
    ChangeLowLatency(fd, false);
}
