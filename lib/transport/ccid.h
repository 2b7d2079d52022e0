// CCID bulk messages of the reader, each carried by the frame link.  Every
// function returns 0 or an errno number.
//
// Every message starts with the same 10-byte header (multi-byte fields least
// significant byte first):
//
//   offset  0          1 .. 4     5       6      7 .. 9           10 ...
//         +----------+----------+-------+------+----------------+------------+
//         | bMessage | dwLength | bSlot | bSeq | 3 bytes of the | dwLength   |
//         | Type     |          |       |      | command's own  | data bytes |
//         +----------+----------+-------+------+----------------+------------+
//
// In a response, bytes 7 to 9 are bStatus, bError and bChainParameter.
#ifndef KYT_TRANSPORT_CCID_H
#define KYT_TRANSPORT_CCID_H

#include <cstddef>
#include <cstdint>

#include "frame.h"
#include "link.h"

// Message header.
constexpr unsigned CCID_HEADER_SIZE = 10;
constexpr unsigned CCID_OFFSET_TYPE = 0;
constexpr unsigned CCID_OFFSET_LENGTH = 1; // dwLength, little-endian
constexpr unsigned CCID_OFFSET_SLOT = 5;
constexpr unsigned CCID_OFFSET_SEQ = 6;
constexpr unsigned CCID_OFFSET_STATUS = 7; // responses: bStatus
constexpr unsigned CCID_OFFSET_ERROR = 8;  // responses: bError
constexpr unsigned CCID_OFFSET_CHAIN = 9;  // data blocks: bChainParameter
constexpr unsigned CCID_OFFSET_PARAM1 = 7; // commands: first command-specific byte
constexpr unsigned CCID_OFFSET_LEVEL = 8;  // XfrBlock: wLevelParameter, little-endian

// Host-to-reader message types.
constexpr uint8_t PC_TO_RDR_SETPARAMETERS = 0x61;
constexpr uint8_t PC_TO_RDR_ICCPOWERON = 0x62;
constexpr uint8_t PC_TO_RDR_ICCPOWEROFF = 0x63;
constexpr uint8_t PC_TO_RDR_GETSLOTSTATUS = 0x65;
constexpr uint8_t PC_TO_RDR_ESCAPE = 0x6B;
constexpr uint8_t PC_TO_RDR_XFRBLOCK = 0x6F;

// Reader-to-host message types.
constexpr uint8_t RDR_TO_PC_DATABLOCK = 0x80;
constexpr uint8_t RDR_TO_PC_SLOTSTATUS = 0x81;
constexpr uint8_t RDR_TO_PC_PARAMETERS = 0x82;
constexpr uint8_t RDR_TO_PC_ESCAPE = 0x83;

// bStatus.
constexpr uint8_t CCID_COMMAND_STATUS_MASK = 0xC0;
constexpr uint8_t CCID_COMMAND_STATUS_SHIFT = 6;
constexpr uint8_t CCID_COMMAND_PROCESSED = 0;
constexpr uint8_t CCID_COMMAND_FAILED = 1;
constexpr uint8_t CCID_ICC_STATUS_MASK = 0x03;
constexpr uint8_t CCID_ICC_ACTIVE = 0;
constexpr uint8_t CCID_ICC_INACTIVE = 1;
constexpr uint8_t CCID_ICC_ABSENT = 2;

// bError.
constexpr uint8_t CCID_ERROR_ICC_MUTE = 0xFE;

// wLevelParameter of XfrBlock.
constexpr uint16_t CCID_LEVEL_BEGIN_AND_END = 0x0000;
constexpr uint16_t CCID_LEVEL_BEGIN = 0x0001;
constexpr uint16_t CCID_LEVEL_END = 0x0002;
constexpr uint16_t CCID_LEVEL_CONTINUE = 0x0003;
constexpr uint16_t CCID_LEVEL_NEXT_RESPONSE = 0x0010;

// bChainParameter of a data block.
constexpr uint8_t CCID_CHAIN_BEGIN_AND_END = 0x00;
constexpr uint8_t CCID_CHAIN_BEGIN = 0x01;
constexpr uint8_t CCID_CHAIN_END = 0x02;
constexpr uint8_t CCID_CHAIN_CONTINUE = 0x03;
constexpr uint8_t CCID_CHAIN_NEXT_COMMAND = 0x10;

// What PC_to_RDR_SetParameters tells the reader about the card in the slot:
// the protocol and the transmission parameters the reader is to use with it.
struct CcidProtocolParameters {
    KYT_ULONG protocol;       // KYT_PROTOCOL_T0 or KYT_PROTOCOL_T1; any other mask has no message
    uint8_t fiIndex;          // Fi index to use (4 bits)
    uint8_t diIndex;          // Di index to use (4 bits)
    bool inverseConvention;   // the card's TS was 3F
    uint8_t extraGuardTime;   // N, from TC1
    uint8_t t0WaitingInteger; // WI, from TC2
    uint8_t t1Edc;            // bit 0: 1 CRC, 0 LRC
    uint8_t t1Bwi;            // block waiting integer (4 bits)
    uint8_t t1Cwi;            // character waiting integer (4 bits)
    uint8_t t1Ifsc;           // as the card announces it; 0 and 0xFF are not valid sizes
};

int CCID_CheckResponse(const CcidLink *link, const uint8_t *message, KYT_ULONG messageLength, uint8_t expectedType);
int CCID_IccPowerOn(CcidLink *link, uint8_t *atr, KYT_ULONG *atrLength);
int CCID_IccPowerOff(CcidLink *link);
int CCID_GetSlotStatus(CcidLink *link, uint8_t *cardStatus);
int CCID_XfrBlock(CcidLink *link, const uint8_t *command, KYT_ULONG commandLength, uint8_t *response,
                  KYT_ULONG *responseLength);
int CCID_Escape(CcidLink *link, const uint8_t *command, KYT_ULONG commandLength, uint8_t *response,
                KYT_ULONG *responseLength);
// Takes a sequence number whatever the protocol; a protocol without a
// parameter structure (neither T=0 nor T=1) is EIO with nothing sent.
int CCID_SetParameters(CcidLink *link, const CcidProtocolParameters *parameters);

#endif
