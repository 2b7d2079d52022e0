// What the kernel tells about the device behind a port (sysfs): whether it
// sits on USB, which driver serves it and, for an FTDI chip, its latency
// timer, the time it holds back a burst shorter than a USB packet.
#ifndef KYT_PROBE_ADAPTER_H
#define KYT_PROBE_ADAPTER_H

#include <sys/types.h>

#include <string>

namespace probe {

struct Adapter {
    bool usb = false;
    std::string driver;      // "ftdi_sio", "cp210x", "pl2303", "ch341-uart", "cdc_acm", ...; "" when unknown
    std::string latencyFile; // the latency timer's sysfs file; "" when the driver has none
};

Adapter LookUpAdapter(dev_t device);

// The latency timer in milliseconds, -1 when it cannot be read.
int ReadLatencyTimer(const Adapter &adapter);

} // namespace probe

#endif
