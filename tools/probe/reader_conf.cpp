#include "reader_conf.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "port_access.h"
#include "ports.h"
#include "reader_probe.h"

namespace probe {

namespace {

// The kernel's name (ttyUSB0) follows the order in which adapters were
// found and can change at the next boot; udev's links do not.  by-id names
// the adapter by maker, model and serial number, so it follows the adapter
// to any socket; by-path names the socket.  Two adapters without a serial
// number share one by-id name, and udev keeps only one of them: then only
// by-path tells them apart.
std::string StableName(const std::string &path, dev_t device, std::string *alternative)
{
    std::vector<std::string> byId = ByIdNames(device);
    std::vector<std::string> byPath = ByPathNames(device);
    if (!byId.empty()) {
        if (!byPath.empty())
            *alternative = byPath.front();
        return byId.front();
    }
    if (!byPath.empty())
        return byPath.front();
    return path;
}

const char *PortFailure(PortState state)
{
    switch (state) {
    case PortState::Missing:
        return "no such port";
    case PortState::NotAPort:
        return "not a serial port";
    case PortState::Denied:
        return "permission denied";
    case PortState::InUse:
        return "in use by another program";
    default:
        return "cannot open the port";
    }
}

} // namespace

bool PrintReaderConf(const std::string &path, const std::string &handler)
{
    dev_t device = 0;
    {
        PortWatch port(path);
        if (port.State() != PortState::Free) {
            std::fprintf(stderr, "kyt_probe: %s: %s\n", path.c_str(), PortFailure(port.State()));
            return false;
        }
        device = port.Device();
        ReaderReport reader = ProbeReader(path, [] {});
        if (reader.openStatus != KYT_SUCCESS || !reader.failedCall.empty()) {
            std::fprintf(stderr, "kyt_probe: %s: no KYT reader answered (status 0x%08lX)\n", path.c_str(),
                         reader.openStatus != KYT_SUCCESS ? reader.openStatus : reader.failure);
            return false;
        }
        std::string alternative;
        const std::string name = StableName(path, device, &alternative);
        const std::string model = reader.model.empty() ? "KYT" : reader.model;
        std::printf("# %s reader with %lu slots on %s, found by kyt_probe.\n", model.c_str(), reader.numSlots,
                    path.c_str());
        std::printf(
            "# Save as a file in /etc/reader.conf.d/ and restart pcscd; give each\n"
            "# further reader another FRIENDLYNAME.\n");
        if (!alternative.empty())
            std::printf("# Tied to the USB socket instead of the adapter:\n#   DEVICENAME %s\n", alternative.c_str());
        if (name == path)
            std::printf("# %s has no stable name under /dev/serial: it may change at the next boot.\n", path.c_str());
        std::printf("FRIENDLYNAME \"%s\"\n", model.c_str());
        std::printf("DEVICENAME   %s\n", name.c_str());
        std::printf("LIBPATH      %s\n", handler.c_str());
        std::printf("CHANNELID    1\n");
    }
    std::fflush(stdout);
    struct stat file {};
    if (stat(handler.c_str(), &file) != 0)
        std::fprintf(stderr, "kyt_probe: note: %s is not installed (the libifdkyt package holds it)\n",
                     handler.c_str());
    return true;
}

} // namespace probe
