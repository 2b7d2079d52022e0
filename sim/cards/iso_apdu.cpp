// Command APDUs taken apart, and status words put behind response data.
//
//   case 1   CLA INS P1 P2
//   case 2   CLA INS P1 P2 Le                  Le: 1 byte, or 00 and 2 bytes
//   case 3   CLA INS P1 P2 Lc data             Lc: 1 byte 01-FF, or 00 and 2 bytes
//   case 4   CLA INS P1 P2 Lc data Le          Le as long as Lc's form says
#include "iso_apdu.h"

#include "protocol.h"

namespace kytsim {

namespace {

std::optional<Apdu> WithBody(Apdu apdu, const Bytes &raw, size_t at, size_t lc, size_t leBytes, size_t leMax)
{
    if (raw.size() != at + lc && raw.size() != at + lc + leBytes)
        return std::nullopt;
    apdu.data.assign(raw.begin() + static_cast<std::ptrdiff_t>(at), raw.begin() + static_cast<std::ptrdiff_t>(at + lc));
    if (raw.size() == at + lc + leBytes) {
        size_t le = leBytes == 1 ? raw.back() : static_cast<size_t>(raw[raw.size() - 2]) << 8 | raw.back();
        apdu.le = le == 0 ? leMax : le;
    }
    return apdu;
}

} // namespace

std::optional<Apdu> ParseApdu(const Bytes &raw, bool extended)
{
    if (raw.size() < 4)
        return std::nullopt;
    Apdu apdu{raw[0], raw[1], raw[2], raw[3], {}, std::nullopt};
    if (raw.size() == 4)
        return apdu;
    if (raw[4] != 0 || raw.size() == 5) { // short: Lc or Le in one byte
        if (raw.size() == 5) {
            apdu.le = raw[4] == 0 ? kMaxShortLe : raw[4];
            return apdu;
        }
        return WithBody(apdu, raw, 5, raw[4], 1, kMaxShortLe);
    }
    // 00 then two bytes: an extended Le alone, or an extended Lc.
    if (!extended || raw.size() < 7)
        return std::nullopt;
    const size_t value = static_cast<size_t>(raw[5]) << 8 | raw[6];
    if (raw.size() == 7) {
        apdu.le = value == 0 ? kMaxExtendedLe : value;
        return apdu;
    }
    if (value == 0)
        return std::nullopt;
    return WithBody(apdu, raw, 7, value, 2, kMaxExtendedLe);
}

Bytes WithStatus(Bytes data, uint16_t sw)
{
    Bytes status = StatusWord(sw);
    data.insert(data.end(), status.begin(), status.end());
    return data;
}

uint16_t CountStatus(uint8_t sw1, size_t count)
{
    return static_cast<uint16_t>(sw1 << 8 | (count & 0xFF));
}

} // namespace kytsim
