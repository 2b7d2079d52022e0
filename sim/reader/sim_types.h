// The types every part of the simulator speaks in: bytes as they cross the
// line or reach a card, and the clock the log and the pauses run on.
#ifndef KYT_SIM_SIM_TYPES_H
#define KYT_SIM_SIM_TYPES_H

#include <chrono>
#include <cstdint>
#include <vector>

namespace kytsim {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

} // namespace kytsim

#endif
