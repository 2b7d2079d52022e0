// What the simulated cards share of ISO/IEC 7816-4: the status words they
// answer with, and command APDUs taken apart.
#ifndef KYT_SIM_ISO_APDU_H
#define KYT_SIM_ISO_APDU_H

#include <cstddef>
#include <cstdint>
#include <optional>

#include "sim_types.h"

namespace kytsim {

constexpr uint8_t kSw1MoreData = 0x61;
constexpr uint8_t kSw1WrongLe = 0x6C;
constexpr uint16_t kSwEndOfFile = 0x6282;
constexpr uint16_t kSwVerificationFailed = 0x6300;
constexpr uint16_t kSwWrongLength = 0x6700;
constexpr uint16_t kSwConditionsNotSatisfied = 0x6985;
constexpr uint16_t kSwNoCurrentEf = 0x6986;
constexpr uint16_t kSwFileNotFound = 0x6A82;
constexpr uint16_t kSwWrongP1p2 = 0x6A86;
constexpr uint16_t kSwOffsetOutside = 0x6B00;
constexpr uint16_t kSwInsNotSupported = 0x6D00;
constexpr uint16_t kSwClaNotSupported = 0x6E00;

// The most data one Le asks for: 256 in short form (Le 00), 65536 in
// extended form (Le 0000).
constexpr size_t kMaxShortLe = 256;
constexpr size_t kMaxExtendedLe = 65536;

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
