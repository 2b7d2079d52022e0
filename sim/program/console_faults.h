// The commands kyt_sim reads on standard input for card and line faults:
// mute, unmute, fault, inject and "faults off", and the status line's part
// on faults.
#ifndef KYT_SIM_CONSOLE_FAULTS_H
#define KYT_SIM_CONSOLE_FAULTS_H

#include <optional>
#include <string>

#include "sim_reader.h"

namespace kytsim::program {

// The answer to a command line, beginning "ok" or "error"; nullopt when the
// line is none of these commands.
std::optional<std::string> RunFaultCommand(SimReader &reader, const std::string &line);

// "; faults: ack-lost 2 at 10%, response-padded 1 (1 to come); resend run, 2
// commands sent again", or "; faults: none; ..." when no kind is in play.
std::string FaultStatus(const SimReader &reader);

} // namespace kytsim::program

#endif
