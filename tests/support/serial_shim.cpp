// A stand-in for a USB-serial driver's serial ioctls, loaded with LD_PRELOAD
// into a program under test.  Pseudo-terminals have no TIOCGSERIAL, so a
// test cannot otherwise see whether the library asks for low latency and
// puts the flag back.  The shim also notes each drain and each speed
// change, so that a test can check their order.
//
//   KYT_SHIM_LOG      file that gets one line per event (appended)
//   KYT_SHIM_SERIAL   what the "driver" offers:
//                       none     no serial ioctls (as a pseudo-terminal)
//                       off      the low-latency flag, clear at first
//                       on       the flag, already set
//                       refuse   the flag, clear, and TIOCSSERIAL fails (EPERM)
//
// Log lines: "get-serial", "set-serial low-latency=0|1", "drain",
// "speed <bits per second>" (a tcsetattr that changes the output speed).
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int g_flags = -1; // the "driver's" serial flags; -1 until the first call

const char *Mode()
{
    const char *mode = getenv("KYT_SHIM_SERIAL");
    return mode != nullptr ? mode : "none";
}

int &Flags()
{
    if (g_flags < 0)
        g_flags = strcmp(Mode(), "on") == 0 ? static_cast<int>(ASYNC_LOW_LATENCY) : 0;
    return g_flags;
}

// A printf format, so that the compilers check the callers' arguments.
__attribute__((format(printf, 1, 2))) void Note(const char *format, ...)
{
    const char *path = getenv("KYT_SHIM_LOG");
    if (path == nullptr)
        return;
    int saved = errno;
    char line[128];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    if (length > 0 && static_cast<size_t>(length) < sizeof line - 1) {
        line[length++] = '\n';
        int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ssize_t ignored = write(fd, line, static_cast<size_t>(length));
            (void)ignored;
            close(fd);
        }
    }
    errno = saved;
}

template <typename Function>
Function Real(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

unsigned long SpeedBits(speed_t speed)
{
    switch (speed) {
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B38400:
        return 38400;
    case B57600:
        return 57600;
    case B115200:
        return 115200;
    default:
        return speed;
    }
}

} // namespace

extern "C" int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);

    bool offered = strcmp(Mode(), "none") != 0;
    if (offered && isatty(fd) && request == TIOCGSERIAL) {
        Note("get-serial");
        auto *serial = static_cast<struct serial_struct *>(argument);
        memset(serial, 0, sizeof *serial);
        serial->type = PORT_16550A;
        serial->flags = Flags();
        return 0;
    }
    if (offered && isatty(fd) && request == TIOCSSERIAL) {
        const auto *serial = static_cast<const struct serial_struct *>(argument);
        Note("set-serial low-latency=%d", (serial->flags & ASYNC_LOW_LATENCY) != 0 ? 1 : 0);
        if (strcmp(Mode(), "refuse") == 0) {
            errno = EPERM;
            return -1;
        }
        Flags() = serial->flags;
        return 0;
    }
    using Ioctl = int (*)(int, unsigned long, ...);
    static Ioctl real = Real<Ioctl>("ioctl");
    return real(fd, request, argument);
}

extern "C" int tcdrain(int fd)
{
    Note("drain");
    using Tcdrain = int (*)(int);
    static Tcdrain real = Real<Tcdrain>("tcdrain");
    return real(fd);
}

extern "C" int tcsetattr(int fd, int action, const struct termios *settings)
{
    struct termios current;
    if (tcgetattr(fd, &current) == 0 && cfgetospeed(&current) != cfgetospeed(settings))
        Note("speed %lu", SpeedBits(cfgetospeed(settings)));
    using Tcsetattr = int (*)(int, int, const struct termios *);
    static Tcsetattr real = Real<Tcsetattr>("tcsetattr");
    return real(fd, action, settings);
}
