// CCID bulk messages carried in checksummed, acknowledged serial frames.
// Every function returns 0 or an errno number.
#ifndef KYT_TRANSPORT_CCID_H
#define KYT_TRANSPORT_CCID_H

#include <cstddef>
#include <cstdint>

#include "device.h"

// Message header.
constexpr unsigned CCID_HEADER_SIZE = 10;
constexpr unsigned CCID_OFFSET_TYPE = 0;
constexpr unsigned CCID_OFFSET_LENGTH = 1; // dwLength, little-endian
constexpr unsigned CCID_OFFSET_SLOT = 5;
constexpr unsigned CCID_OFFSET_SEQ = 6;
constexpr unsigned CCID_OFFSET_STATUS = 7;      // responses: bStatus
constexpr unsigned CCID_OFFSET_ERROR = 8;       // responses: bError
constexpr unsigned CCID_OFFSET_CHAIN = 9;       // data blocks: bChainParameter
constexpr unsigned CCID_OFFSET_PARAM1 = 7;      // commands: first command-specific byte
constexpr unsigned CCID_OFFSET_LEVEL = 8;       // XfrBlock: wLevelParameter, little-endian

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

// Frame link.
constexpr unsigned FRAME_OVERHEAD = 3;   // start byte, checksum, end byte
constexpr unsigned ACK_FRAME_SIZE = 4;   // start, status, checksum, end
constexpr uint8_t ACK_STATUS_OK = 0x00;
constexpr unsigned REPEAT_REQUEST_SIZE = 13;
constexpr unsigned READ_CHUNK_SIZE = 64;

uint8_t CCID_CalcChecksum(const uint8_t *bytes, size_t count);
bool CCID_ValidateFrame(uint8_t start, uint8_t end, const uint8_t *frame, size_t length);
int CCID_ReadExact(int fd, uint8_t *buffer, uint32_t *count, uint32_t timeoutMs);
int CCID_ReadResponse(int fd, uint8_t *buffer, KYT_ULONG *length, uint32_t timeoutMs);
int CCID_Transceive(ReaderDevice *device, const uint8_t *message, KYT_ULONG messageLength, uint8_t *reply,
                    KYT_ULONG *replyLength);

int CCID_CheckResponse(ReaderDevice *device, const uint8_t *message, KYT_ULONG messageLength,
                       uint8_t expectedType);
int CCID_IccPowerOn(ReaderDevice *device, uint8_t *atr, KYT_ULONG *atrLength);
int CCID_IccPowerOff(ReaderDevice *device);
int CCID_GetSlotStatus(ReaderDevice *device, uint8_t *cardStatus);
int CCID_XfrBlock(ReaderDevice *device, const uint8_t *command, KYT_ULONG commandLength, uint8_t *response,
                  KYT_ULONG *responseLength);
int CCID_Escape(ReaderDevice *device, const uint8_t *command, KYT_ULONG commandLength, uint8_t *response,
                KYT_ULONG *responseLength);
// Sends PC_to_RDR_SetParameters for the slot in device->currentSlot.
int CCID_SetParameters(ReaderDevice *device, const CardCapabilities *card);

#endif
