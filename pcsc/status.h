// libkyt statuses as IFD response codes (the table is in ifd_kyt.h).
#ifndef IFDKYT_STATUS_H
#define IFDKYT_STATUS_H

extern "C" {
#include <ifdhandler.h>
}

#include "kyt.h"

namespace ifdkyt {

// Which operation a status comes from, where the mapping differs.
enum class Op { Open, Power, Protocol, Transmit, Control, Presence, Other };

RESPONSECODE MapStatus(KYT_STATUS status, Op op, const char *port);

// The response code's name, for the log.
const char *ResponseName(RESPONSECODE rv);

// A failure of the line or the reader, not of the card or the request.
bool IsLinkFailure(KYT_STATUS status);

// The port itself is gone: its device node (or the link to it) no longer
// exists, as when a USB serial adapter is pulled.
bool PortGone(KYT_STATUS status, const char *port);

} // namespace ifdkyt

#endif
