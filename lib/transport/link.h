// The reader as the transport sees it: the port, the framing bytes, the
// link's timing and what the next CCID message is addressed with.  The
// reader API's record extends this one and fills it before every call into
// the transport.
#ifndef KYT_TRANSPORT_LINK_H
#define KYT_TRANSPORT_LINK_H

#include <cstdint>

#include "kyt.h"

// Framing bytes of every frame on the line, in both directions.
constexpr uint8_t FRAME_START = 0x02;
constexpr uint8_t FRAME_END = 0x03;

struct CcidLink {
    int32_t comPort;
    uint8_t commandStart;      // opens every frame the host sends
    uint8_t commandEnd;        // closes it
    uint8_t responseStart;     // expected to open every frame the reader sends
    uint8_t responseEnd;       // expected to close it
    KYT_ULONG maxBlockSize;    // most APDU bytes in one XfrBlock message
    KYT_ULONG statusTimeout;   // ms, for each read of the acknowledge
    KYT_ULONG responseTimeout; // ms, for each read of the response frame
    KYT_ULONG statusRetries;   // a command frame goes out statusRetries + 1 times
    KYT_ULONG responseRetries; // a response frame is read responseRetries + 1 times
    uint8_t currentSlot;       // bSlot of the next message
    uint8_t sequenceNumber;    // bSeq of the next message
    uint8_t powerSelect;       // bPowerSelect of IccPowerOn
};

#endif
