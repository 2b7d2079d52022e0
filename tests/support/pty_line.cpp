#include "pty_line.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace rig {

bool MakeRaw(int fd)
{
    termios settings{};
    if (tcgetattr(fd, &settings) != 0)
        return false;
    cfmakeraw(&settings);
    cfsetispeed(&settings, B9600);
    cfsetospeed(&settings, B9600);
    return tcsetattr(fd, TCSANOW, &settings) == 0;
}

bool OpenPtyLine(PtyLine *line)
{
    // Close-on-exec, so that a program the test starts does not hold the
    // line open and keep it from hanging up when the test closes it.
    line->master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[256];
    bool ok = line->master >= 0 && grantpt(line->master) == 0 && unlockpt(line->master) == 0 &&
              ptsname_r(line->master, name, sizeof name) == 0;
    if (ok) {
        line->slavePath = name;
        line->slaveKeeper = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        ok = line->slaveKeeper >= 0 && MakeRaw(line->slaveKeeper);
    }
    if (!ok)
        ClosePtyLine(line);
    return ok;
}

void ClosePtyLine(PtyLine *line)
{
    for (int *fd : {&line->slaveKeeper, &line->master}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

} // namespace rig
