// Multi-byte fields of CCID messages travel least significant byte first
// (dwLength, wLevelParameter).
#ifndef KYT_TRANSPORT_BYTE_ORDER_H
#define KYT_TRANSPORT_BYTE_ORDER_H

#include <cstdint>

inline uint32_t ReadLittleEndian32(const uint8_t *bytes)
{
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

inline void WriteLittleEndian16(uint8_t *bytes, uint16_t value)
{
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
}

inline void WriteLittleEndian32(uint8_t *bytes, uint32_t value)
{
    WriteLittleEndian16(bytes, static_cast<uint16_t>(value));
    WriteLittleEndian16(bytes + 2, static_cast<uint16_t>(value >> 16));
}

#endif
