// What the system says about a serial port, without opening it: the tty
// behind the name, its stable names under /dev/serial, and for a USB
// adapter its kernel driver and latency timer.
#ifndef KYT_PROBE_PORT_FACTS_H
#define KYT_PROBE_PORT_FACTS_H

#include <string>
#include <vector>

namespace kytprobe {

struct PortFacts {
    std::string tty;                 // the tty's kernel name (ttyUSB0), "" when unknown
    bool usb = false;                // behind a USB adapter or a USB modem interface
    bool noUart = false;             // a ttyS name with no UART behind it
    std::string driver;              // the kernel driver (ftdi_sio, cp210x, cdc_acm, ...), or ""
    int latencyTimerMs = -1;         // an FTDI adapter's latency timer, -1 when there is none
    std::vector<std::string> byId;   // links under /dev/serial/by-id to the port
    std::vector<std::string> byPath; // links under /dev/serial/by-path to the port
};

// The facts about `port`, read from `sysRoot` (/sys) and `devRoot` (/dev).
PortFacts LookUpPort(const std::string &port, const std::string &sysRoot = "/sys",
                     const std::string &devRoot = "/dev");

// The ports looked at by default: every /dev/ttyS*, ttyUSB*, ttyACM*,
// ttyAMA* and /dev/serial/by-id/* entry, in that order, sorted by name
// within each kind (ttyS2 before ttyS10).
std::vector<std::string> DefaultPorts(const std::string &devRoot = "/dev");

// The name to give pcscd for the port: its by-id link when it has one (it
// follows the adapter to any USB socket), else its by-path link (the socket,
// for adapters without a serial number), else the name as given.
std::string StableName(const std::string &port, const PortFacts &facts);

} // namespace kytprobe

#endif
