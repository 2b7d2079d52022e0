// A ready reader.conf entry for pcscd's KYT handler, for the reader on one
// port.
#ifndef KYT_PROBE_READER_CONF_H
#define KYT_PROBE_READER_CONF_H

#include <string>

namespace probe {

// Probes the port; with a reader there, prints the entry on standard output
// and returns true.  Otherwise says why on standard error and returns false.
bool PrintReaderConf(const std::string &path, const std::string &handler);

} // namespace probe

#endif
