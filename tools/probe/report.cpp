#include "report.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "adapter.h"
#include "port_access.h"
#include "ports.h"
#include "reader_probe.h"

namespace probe {

namespace {

// Statuses below this are errno numbers; above are libkyt's card codes.
constexpr KYT_STATUS kLargestErrno = 4095;
// ftdi_sio's latency timer with its low-latency flag set.
constexpr int kLowLatencyMs = 1;

void Line(const char *label, const std::string &text)
{
    std::printf("  %-10s %s\n", label, text.c_str());
}

std::string StatusText(KYT_STATUS status)
{
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", status);
    if (status != 0 && status <= kLargestErrno)
        return std::string(code) + ", " + std::strerror(static_cast<int>(status));
    return code;
}

std::string Joined(const std::vector<std::string> &names)
{
    std::string text;
    for (const std::string &name : names)
        text += (text.empty() ? "" : " ") + name;
    return text;
}

void ReportUnusable(const std::string &path, const PortWatch &port)
{
    const std::string reason = std::strerror(port.Error());
    switch (port.State()) {
    case PortState::Missing:
        // ENOENT: no such name; EIO, ENXIO, ENODEV: a device node with no
        // device behind it (a ttyS without a UART, an adapter being pulled).
        Line("no port:",
             std::string(port.Error() == ENOENT ? "no such port" : "no device behind the port") + " (" + reason + ")");
        break;
    case PortState::NotAPort:
        Line("no port:", path + " is " + port.What() + ", not a serial port");
        break;
    case PortState::Denied:
        Line("denied:", "permission denied (" + OwnershipOf(path) + ")");
        Line("fix:",
             "add your user to the port's group, dialout for serial ports "
             "(sudo usermod -aG dialout $USER), then log in again");
        break;
    case PortState::InUse: {
        const std::string holders = HoldersOf(path, port.Device());
        Line("in use:",
             "another program holds the port" + (holders.empty() ? "" : ": " + holders) + "; nothing was sent");
        Line("fix:", "one program per port: stop it (or take the reader out of pcscd's reader.conf) first");
        break;
    }
    default:
        Line("error:", "cannot open the port (" + reason + ")");
        break;
    }
}

std::string SlotText(const SlotReport &slot)
{
    if (slot.status != KYT_SUCCESS)
        return "no answer (" + StatusText(slot.status) + ")";
    switch (slot.state) {
    case KYT_ICC_ABSENT:
        return "no card";
    case KYT_ICC_PRESENT:
        return "card present, not powered";
    case KYT_ICC_POWERED:
        return "card present, powered";
    default:
        return "card state unknown";
    }
}

std::string DeviceText(const Adapter &adapter, int latencyBefore, int latencyOpen)
{
    std::string text = adapter.usb ? "USB adapter" : "UART";
    if (!adapter.driver.empty())
        text += ", driver " + adapter.driver;
    if (latencyBefore >= 0) {
        text += ", latency timer " + std::to_string(latencyBefore) + " ms";
        if (latencyOpen >= 0 && latencyOpen != latencyBefore)
            text += " (" + std::to_string(latencyOpen) + " ms while libkyt holds the port)";
        else if (latencyOpen > kLowLatencyMs)
            text += " (libkyt could not lower it)";
    }
    return text;
}

void ReportReader(const std::string &path, const PortWatch &port, const ReaderReport &reader)
{
    Line("reader:", (reader.model.empty() ? std::string("model unknown") : reader.model) + ", " +
                        std::to_string(reader.numSlots) + " slots, found at " + std::to_string(reader.speed) +
                        " bit/s");
    if (!reader.firmware.empty())
        Line("firmware:", reader.firmware);
    for (size_t slot = 0; slot < reader.slots.size(); slot++)
        Line(("slot " + std::to_string(slot) + ":").c_str(), SlotText(reader.slots[slot]));
    if (!reader.failedCall.empty()) {
        struct stat node {};
        const char *why = stat(path.c_str(), &node) != 0 ? "the port vanished"
                          : port.HungUp()                ? "the line hung up"
                                                         : "the reader stopped answering";
        Line("lost:", reader.failedCall + " failed (" + StatusText(reader.failure) + "): " + why);
    }
}

} // namespace

Outcome ReportPort(const std::string &path, bool first, bool quietIfMissing)
{
    PortWatch port(path);
    if (quietIfMissing && port.State() == PortState::Missing)
        return Outcome::Skipped;
    std::printf("%s%s\n", first ? "" : "\n", path.c_str());
    if (port.Device() != 0) {
        const std::vector<std::string> stable = StableNames(port.Device());
        if (!stable.empty())
            Line("names:", Joined(stable));
    }
    std::fflush(stdout);
    if (port.State() != PortState::Free) {
        ReportUnusable(path, port);
        return Outcome::Unusable;
    }
    const Adapter adapter = LookUpAdapter(port.Device());
    const int latencyBefore = ReadLatencyTimer(adapter);
    int latencyOpen = -1;
    ReaderReport reader = ProbeReader(path, [&] { latencyOpen = ReadLatencyTimer(adapter); });
    if (!adapter.driver.empty() || adapter.usb)
        Line("device:", DeviceText(adapter, latencyBefore, latencyOpen));
    if (reader.openStatus == EBUSY) {
        Line("in use:", "another program took the port meanwhile; nothing was sent");
        return Outcome::Unusable;
    }
    if (reader.openStatus != KYT_SUCCESS) {
        Line("no reader:", "no KYT reader answered at 9600 to 115200 bit/s (" + StatusText(reader.openStatus) + ")");
        return Outcome::NoReader;
    }
    ReportReader(path, port, reader);
    return Outcome::Reader;
}

} // namespace probe
