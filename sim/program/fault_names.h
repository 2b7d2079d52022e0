// The faults as kyt_sim's command line (--fault) and standard input (fault,
// inject) name them, and their rates as people write them.
#ifndef KYT_SIM_FAULT_NAMES_H
#define KYT_SIM_FAULT_NAMES_H

#include <cstdint>
#include <optional>
#include <string>

#include "sim_reader.h"

namespace kytsim::program {

std::optional<FaultKind> FaultKindByName(const std::string &name);
const char *FaultName(FaultKind kind);
// Every kind with one line on what the host sees, for the usage text.
std::string FaultKindsHelp();

// A rate in percent of the kind's occasions, 0 to 100 with at most four
// decimals and an optional "%" ("10", "0.5%"), in parts per million.
std::optional<uint32_t> ParseRate(const std::string &text);
// Parts per million as a percentage: "10%", "0.5%".
std::string RateText(uint32_t partsPerMillion);

} // namespace kytsim::program

#endif
