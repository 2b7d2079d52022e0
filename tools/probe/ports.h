// Which ports to look at, and the names under which udev also knows them.
#ifndef KYT_PROBE_PORTS_H
#define KYT_PROBE_PORTS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace probe {

// Every /dev/ttyS*, ttyUSB*, ttyACM*, ttyAMA* and /dev/serial/by-id/* entry,
// one per device: a by-id link to a tty already listed is left out (its
// block names it), not probed a second time.  Dangling links stay in, to be
// reported.
std::vector<std::string> DefaultPorts();

// The device's stable names: its /dev/serial/by-id links first, then its
// /dev/serial/by-path links, each group sorted.
std::vector<std::string> StableNames(dev_t device);

// The by-id names alone, and the by-path names alone.
std::vector<std::string> ByIdNames(dev_t device);
std::vector<std::string> ByPathNames(dev_t device);

} // namespace probe

#endif
