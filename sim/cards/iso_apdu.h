// What the simulated cards share of ISO/IEC 7816-4: the status words they
// answer with, and command APDUs taken apart.
#ifndef KYT_SIM_ISO_APDU_H
#define KYT_SIM_ISO_APDU_H

#include <cstddef>
#include <cstdint>
#include <optional>

#include "sim_types.h"

namespace kytsim {

constexpr uint8_t SW1_MORE_DATA = 0x61;
constexpr uint8_t SW1_WRONG_LE = 0x6C;
constexpr uint16_t SW_END_OF_FILE = 0x6282;
constexpr uint16_t SW_VERIFICATION_FAILED = 0x6300;
constexpr uint16_t SW_WRONG_LENGTH = 0x6700;
constexpr uint16_t SW_CONDITIONS_NOT_SATISFIED = 0x6985;
constexpr uint16_t SW_NO_CURRENT_EF = 0x6986;
constexpr uint16_t SW_FILE_NOT_FOUND = 0x6A82;
constexpr uint16_t SW_WRONG_P1P2 = 0x6A86;
constexpr uint16_t SW_OFFSET_OUTSIDE = 0x6B00;
constexpr uint16_t SW_INS_NOT_SUPPORTED = 0x6D00;
constexpr uint16_t SW_CLA_NOT_SUPPORTED = 0x6E00;

// The most data one Le asks for: 256 in short form (Le 00), 65536 in
// extended form (Le 0000).
constexpr size_t MAX_SHORT_LE = 256;
constexpr size_t MAX_EXTENDED_LE = 65536;

// A command APDU taken apart.  data is empty when no Lc is present; le is
// empty when no Le is present.
struct Apdu {
    uint8_t cla, ins, p1, p2;
    Bytes data;
    std::optional<size_t> le;
};

// Cases 1 to 4, short or (when `extended`) extended; nullopt for anything
// else (too short, Lc not matching the length).
std::optional<Apdu> ParseApdu(const Bytes &raw, bool extended);

// Response data followed by a status word.
Bytes WithStatus(Bytes data, uint16_t sw);

// 61 xx / 6C xx: a count of 256 is written as 00.
uint16_t CountStatus(uint8_t sw1, size_t count);

} // namespace kytsim

#endif
