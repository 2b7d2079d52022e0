// The programs and the driver a sandbox is made of.
#pragma once

#include <string>

#include "options.h"

namespace kytsandbox {

struct Parts {
    std::string sim;     // kyt_sim
    std::string handler; // libifdkyt.so, the PC/SC driver
    std::string pcscd;   // the system's pcscd program
    // pcscd's folder of USB drivers, hidden from the private pcscd so that
    // it never claims the developer's real USB readers.
    std::string usbDrivers;
};

// Finds the parts: those named on the command line, else, for a
// kyt_sandbox run from a build tree, the build tree's kyt_sim and driver,
// else the installed ones; pcscd from PATH or the system's sbin folders.
// False, with a message saying what to install, when one is missing.
bool FindParts(const Options &options, Parts *parts, std::string *error);

} // namespace kytsandbox
