// kyt_sim's command-line options.
#ifndef KYT_SIM_OPTIONS_H
#define KYT_SIM_OPTIONS_H

#include <map>
#include <optional>
#include <string>
#include <variant>

#include "fault_options.h"
#include "frame_log_file.h"
#include "sim_reader.h"
#include "vpcd_slots.h"

namespace kytsim::program {

struct Options {
    Config config;
    std::map<unsigned, std::optional<Card>> cards; // by slot; nullopt: an empty slot
    std::string link;                              // a symbolic link to the pty, or ""
    VpcdOptions vpcd;                              // slots whose cards are card emulators
    std::string record;                            // --record: base name of the slot files, or ""
    FaultOptions faults;                           // fault_options.h
    LogFileOptions logFile;                        // --log, --log-size (frame_log_file.h)
};

// The options, or the status to exit with at once: 0 after --help (the
// usage printed), 2 after a wrong option (the reason printed on standard
// error).
std::variant<Options, int> ParseOptions(int argc, char **argv);

} // namespace kytsim::program

#endif
