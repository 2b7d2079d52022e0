// The commands kyt_sim reads on standard input: remove, insert, bounce,
// status, the fault commands (console_faults.h) and delay, silence and
// firmware (console_controls.h), one a line, each answered with one line.
#ifndef KYT_SIM_CONSOLE_COMMANDS_H
#define KYT_SIM_CONSOLE_COMMANDS_H

#include <string>

#include "sim_reader.h"

namespace kytsim::program {

// The answer to one command line, beginning "ok" or "error".  `slots` is the
// number of slots the model has.
std::string RunConsoleCommand(SimReader &reader, unsigned slots, const std::string &line);

} // namespace kytsim::program

#endif
