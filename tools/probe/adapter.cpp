#include "adapter.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>

namespace probe {

namespace {

// Every character device has a link here, named MAJOR:MINOR, to its place
// in the device tree.
constexpr const char *kCharDevices = "/sys/dev/char/";

std::string LastPart(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string LinkTarget(const std::string &path)
{
    char target[PATH_MAX];
    ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    if (length <= 0)
        return "";
    return std::string(target, static_cast<size_t>(length));
}

} // namespace

Adapter LookUpAdapter(dev_t device)
{
    Adapter adapter;
    const std::string node = kCharDevices + std::to_string(major(device)) + ":" + std::to_string(minor(device));
    char where[PATH_MAX];
    if (realpath(node.c_str(), where) == nullptr)
        return adapter; // no device behind it in the tree (a pseudo-terminal)
    // A USB adapter's tty lies below a USB bus in the device tree.
    adapter.usb = std::string(where).find("/usb") != std::string::npos;
    // "device" is the tty's parent: the USB-serial port (ttyUSB), the USB
    // interface (ttyACM) or the UART.
    adapter.driver = LastPart(LinkTarget(node + "/device/driver"));
    const std::string latency = node + "/device/latency_timer";
    struct stat file {};
    if (stat(latency.c_str(), &file) == 0 && S_ISREG(file.st_mode))
        adapter.latencyFile = latency;
    return adapter;
}

int ReadLatencyTimer(const Adapter &adapter)
{
    if (adapter.latencyFile.empty())
        return -1;
    std::ifstream file(adapter.latencyFile);
    int ms = -1;
    if (!(file >> ms) || ms < 0 || ms > 255)
        return -1;
    return ms;
}

} // namespace probe
