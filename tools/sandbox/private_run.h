// The private /run the sandbox's pcscd sees.
//
// Debian's pcscd keeps its socket and pid file at fixed paths in
// /run/pcscd, which an ordinary user cannot create and where the system's
// pcscd may be serving real tokens.  So pcscd runs in a mount namespace of
// its own (inside a user namespace, where the user is root, unless
// kyt_sandbox runs as root), where:
//
//   /run                    an empty tmpfs
//   /run/pcscd              the sandbox's own folder, bound: the socket pcscd
//                           makes there is the one clients outside reach
//                           through PCSCLITE_CSOCK_NAME
//   /usr/lib/pcsc/drivers   an empty tmpfs (with only the KYT driver bound
//                           back in when it is installed there), so that
//                           this pcscd never claims a real USB reader
//
// Nothing of this is seen outside; it goes with pcscd's end.
#pragma once

#include <string>

#include <sys/types.h>

namespace kytsandbox {

struct PrivateRun {
    std::string ipcFolder;  // bound on /run/pcscd
    std::string usbDrivers; // hidden
    std::string handler;    // kept visible when it lies in usbDrivers
    uid_t uid;              // the user outside, mapped to root inside
    gid_t gid;
};

// Enters the namespaces and makes the mounts; an error message (saying how
// to enable user namespaces where they are off), or an empty one.  Runs in
// the child that becomes pcscd.
std::string EnterPrivateRun(const PrivateRun &run);

} // namespace kytsandbox
