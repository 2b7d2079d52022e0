// Slots whose cards are card emulators speaking vsmartcard's vpcd protocol
// (kyt_sim --card SLOT:vpcd[:PORT]).  Each such slot listens on 127.0.0.1
// for one emulator: while one is connected the slot holds its card, and
// when it goes (or is dropped for not answering in time or breaking the
// protocol) the slot is empty until an emulator connects again.
#ifndef KYT_SIM_VPCD_SLOTS_H
#define KYT_SIM_VPCD_SLOTS_H

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim_reader.h"

namespace kytsim::program {

// vsmartcard's port for the first reader; the slot number is added to it.
constexpr uint16_t kVpcdBasePort = 35963;

struct VpcdOptions {
    std::map<unsigned, uint16_t> ports;      // by slot; port 0: any free one
    std::chrono::milliseconds timeout{5000}; // for each exchange with an emulator
};

// True for "vpcd" and "vpcd:..." as the card of --card.
bool IsVpcdCardName(const std::string &name);
// The port of "vpcd" (the base port plus the slot) or "vpcd:PORT";
// nothing when PORT is not a number from 0 to 65535.
std::optional<uint16_t> VpcdPort(const std::string &name, unsigned slot);

class VpcdSlot;

// The listening slots of kyt_sim.
class VpcdSlots {
public:
    VpcdSlots(SimReader &reader, const VpcdOptions &options);
    ~VpcdSlots(); // stops every slot
    VpcdSlots(const VpcdSlots &) = delete;
    VpcdSlots &operator=(const VpcdSlots &) = delete;

    // Listens on every slot's port and starts watching them; false (with the
    // reason in *error, and nothing left listening) when a port cannot be
    // had.
    bool Start(std::string *error);
    // Drops the connected emulators and ends the slots' threads.
    void Stop();
    // The slots and the ports they listen on, once started.
    std::vector<std::pair<unsigned, uint16_t>> Ports() const;

private:
    SimReader &reader_;
    VpcdOptions options_;
    std::vector<std::unique_ptr<VpcdSlot>> slots_;
};

} // namespace kytsim::program

#endif
