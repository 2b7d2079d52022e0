// The commands kyt_sim reads on standard input that hold back the reader's
// answers or change what it says: delay, silence and firmware, and the
// status line's parts on them.
#ifndef KYT_SIM_CONSOLE_CONTROLS_H
#define KYT_SIM_CONSOLE_CONTROLS_H

#include <optional>
#include <string>

#include "sim_reader.h"

namespace kytsim::program {

// The longest delay and silence taken, in milliseconds: an hour.
constexpr unsigned long kMaxHoldMs = 3600000;

// The answer to a command line, beginning "ok" or "error"; nullopt when the
// line is none of these commands.
std::optional<std::string> RunControlCommand(SimReader &reader, const std::string &line);

// "; silent: until \"silence off\"" or "; silent: 1500 ms left" while the
// reader is silent, else "".
std::string SilenceStatus(const SimReader &reader);

// ", next APDU 5000 ms late" while a delay waits for the slot's next APDU,
// else "".
std::string DelayStatus(const SimReader &reader, unsigned slot);

} // namespace kytsim::program

#endif
