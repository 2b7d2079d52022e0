// One port looked at and described on standard output: what is wrong with
// it and how to put it right, or the reader behind it.
#ifndef KYT_PROBE_REPORT_H
#define KYT_PROBE_REPORT_H

#include <string>

namespace probe {

enum class Outcome {
    Reader,   // a KYT reader answered
    NoReader, // a free port where no KYT reader answered
    Unusable, // missing, no port, denied, in use or failing
    Skipped,  // missing, and not to be reported: nothing was printed
};

// Probes the port and prints its block, after an empty line unless it is
// the `first`.  With `quietIfMissing` a port with no device behind it (the
// kernel makes ttyS nodes for UARTs that are not there) prints nothing and
// is Skipped.
Outcome ReportPort(const std::string &path, bool first, bool quietIfMissing);

} // namespace probe

#endif
