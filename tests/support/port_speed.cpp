// <asm/termbits.h> and <termios.h> define the same names differently, so
// termios2 lives in a file of its own that includes only the former.
#include "port_speed.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace rig {

bool KernelSpeeds(int fd, uint32_t *output, uint32_t *input)
{
#ifdef TCGETS2
    struct termios2 settings {};
    if (ioctl(fd, TCGETS2, &settings) != 0)
        return false;
    *output = settings.c_ospeed;
    *input = settings.c_ispeed;
    return true;
#else
    (void)fd;
    (void)output;
    (void)input;
    return false;
#endif
}

} // namespace rig
