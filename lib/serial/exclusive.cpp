// One program per port.  Line settings, flushes and the input queue belong
// to the tty, not to a descriptor: a second program on the same port resets
// the speed, throws away what the first one has not read yet and takes part
// of the reader's bytes, so commands are lost or run twice.  The port is
// therefore taken whole, in two ways that keep out different programs:
//
//   flock(LOCK_EX)   an advisory lock on the device node, honoured by every
//                    libkyt user (root included), picocom and similar tools;
//   TIOCEXCL         the tty's exclusive flag, which makes the kernel refuse
//                    every further open(2) with EBUSY, except by root.
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "comport.h"

namespace {

// flock's answer for a lock someone else holds is EWOULDBLOCK; to the
// caller the port is simply busy, as the kernel says for TIOCEXCL.
void SayBusyForAHeldLock()
{
    if (errno == EWOULDBLOCK)
        errno = EBUSY;
}

} // namespace

// The lock comes first: a port that someone else holds must be left exactly
// as it is, its exclusive flag included, which is theirs.  Only a terminal
// is locked, so that a wrong name (a regular file, /dev/null) fails as it
// always did and never holds a lock that others would meet.
bool ComPort_Claim(int fd)
{
    if (!isatty(fd))
        return false;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        SayBusyForAHeldLock();
        return false;
    }
    if (ioctl(fd, TIOCEXCL) != 0) {
        int saved = errno;
        flock(fd, LOCK_UN);
        errno = saved;
        return false;
    }
    return true;
}

// The exclusive flag goes first: on a pseudo-terminal it belongs to the tty,
// which outlives this descriptor while the other end is open, and left set
// it would keep every ordinary user out after the close.
void ComPort_Release(int fd)
{
    ioctl(fd, TIOCNXCL);
    flock(fd, LOCK_UN);
}
