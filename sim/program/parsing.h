// Values as people type them on kyt_sim's command line and standard input.
#ifndef KYT_SIM_PARSING_H
#define KYT_SIM_PARSING_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim_types.h"

namespace kytsim::program {

// A plain decimal number of at most nine digits.
std::optional<unsigned long> ParseNumber(const std::string &text);
// A slot number the simulator keeps state for, counted from 0.
std::optional<unsigned> ParseSlot(const std::string &text);
// A line speed of the reader's speed table.
std::optional<uint32_t> ParseSpeed(const std::string &text);
// Hexadecimal digits without spaces, two per byte.
std::optional<Bytes> ParseHex(const std::string &text);

// A console command's first four words; past them, words are not looked at.
std::vector<std::string> CommandWords(const std::string &line);

} // namespace kytsim::program

#endif
