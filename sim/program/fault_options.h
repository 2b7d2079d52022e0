// kyt_sim's options for faults and hazards: --fault, --seed, --resend,
// --split-pause and --card-factors.
#ifndef KYT_SIM_FAULT_OPTIONS_H
#define KYT_SIM_FAULT_OPTIONS_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "sim_reader.h"

namespace kytsim::program {

struct Options;

// What the options ask of the reader beyond its Config.
struct FaultOptions {
    std::map<FaultKind, uint32_t> rates;     // parts per million, by kind
    std::map<unsigned, uint8_t> cardFactors; // the fastest bmFindexDindex, by slot
};

// Applies one of these options: "" when the value is good, else why not;
// nullopt when `option` is none of them.
std::optional<std::string> ApplyFaultOption(const std::string &option, const std::string &value, Options &options);
// Sets the rates and the card factors on the reader.
void SetUpFaults(SimReader &reader, const FaultOptions &faults);

} // namespace kytsim::program

#endif
