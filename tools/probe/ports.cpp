#include "ports.h"

#include <glob.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>

namespace probe {

namespace {

// The kernel's names of serial ports: on-board and PCI UARTs, USB-serial
// adapters, USB modems (CDC ACM) and the PL011 UARTs of ARM boards.
constexpr const char *kPortPatterns[] = {"/dev/ttyS*", "/dev/ttyUSB*", "/dev/ttyACM*", "/dev/ttyAMA*"};
// udev's names: by the adapter's maker, model and serial number, and by the
// USB socket it is plugged into.
constexpr const char *kById = "/dev/serial/by-id/*";
constexpr const char *kByPath = "/dev/serial/by-path/*";

std::vector<std::string> Matches(const char *pattern)
{
    std::vector<std::string> paths;
    glob_t found{};
    if (glob(pattern, 0, nullptr, &found) == 0) {
        for (size_t i = 0; i < found.gl_pathc; i++)
            paths.emplace_back(found.gl_pathv[i]);
    }
    globfree(&found);
    // glob sorts by name: ttyS10 before ttyS2; by number reads better.
    std::stable_sort(paths.begin(), paths.end(), [](const std::string &a, const std::string &b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    return paths;
}

bool DeviceOf(const std::string &path, dev_t *device)
{
    struct stat node {};
    if (stat(path.c_str(), &node) != 0 || !S_ISCHR(node.st_mode))
        return false;
    *device = node.st_rdev;
    return true;
}

std::vector<std::string> NamesFor(const char *pattern, dev_t device)
{
    std::vector<std::string> names;
    for (const std::string &path : Matches(pattern)) {
        dev_t other = 0;
        if (DeviceOf(path, &other) && other == device)
            names.push_back(path);
    }
    return names;
}

} // namespace

std::vector<std::string> DefaultPorts()
{
    std::vector<std::string> ports;
    std::set<dev_t> listed;
    auto add = [&](const std::string &path) {
        dev_t device = 0;
        if (DeviceOf(path, &device) && !listed.insert(device).second)
            return;
        ports.push_back(path);
    };
    for (const char *pattern : kPortPatterns) {
        for (const std::string &path : Matches(pattern))
            add(path);
    }
    for (const std::string &path : Matches(kById))
        add(path);
    return ports;
}

std::vector<std::string> ByIdNames(dev_t device)
{
    return NamesFor(kById, device);
}

std::vector<std::string> ByPathNames(dev_t device)
{
    return NamesFor(kByPath, device);
}

std::vector<std::string> StableNames(dev_t device)
{
    std::vector<std::string> names = ByIdNames(device);
    std::vector<std::string> byPath = ByPathNames(device);
    names.insert(names.end(), byPath.begin(), byPath.end());
    return names;
}

} // namespace probe
