// The reader's protocol as the simulated reader reads it: the serial frame
// link, the CCID messages and the vendor escape commands.
//
// The simulator is a second, independent reading of the reader.  It keeps
// these definitions of its own on purpose and never includes the library's
// internals, so that a misreading in the library cannot hide behind the same
// misreading here.  Inside the simulator every protocol fact is defined here
// once; the functions below build and parse the layouts, and their comments in
// protocol.cpp draw them.
#ifndef KYT_SIM_PROTOCOL_H
#define KYT_SIM_PROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <optional>

#include "sim_types.h"

namespace kytsim {

// Frame link.
constexpr uint8_t kFrameStart = 0x02;
constexpr uint8_t kFrameEnd = 0x03;
constexpr size_t kFrameOverhead = 3;   // start, checksum, end
constexpr size_t kChecksumFromEnd = 2; // the checksum is a frame's last byte but one
constexpr uint8_t kAckOk = 0x00;       // acknowledge status: command taken
constexpr uint8_t kAckRefused = 0x01;  // any other status: send the command again
// The largest data part the reader takes in one frame.  A bigger dwLength
// is taken for line noise: the start byte is dropped and the reader looks
// for the next one, so a hostile length never makes it buffer without bound.
constexpr uint32_t kMaxFrameData = 64 * 1024;

// CCID message header: 10 bytes, then dwLength data bytes.
constexpr size_t kHeaderSize = 10;

// bMessageType.
constexpr uint8_t kPcToRdrSetParameters = 0x61;
constexpr uint8_t kPcToRdrIccPowerOn = 0x62;
constexpr uint8_t kPcToRdrIccPowerOff = 0x63;
constexpr uint8_t kPcToRdrGetSlotStatus = 0x65;
constexpr uint8_t kPcToRdrEscape = 0x6B;
constexpr uint8_t kPcToRdrXfrBlock = 0x6F;
constexpr uint8_t kRdrToPcDataBlock = 0x80;
constexpr uint8_t kRdrToPcSlotStatus = 0x81;
constexpr uint8_t kRdrToPcParameters = 0x82;
constexpr uint8_t kRdrToPcEscape = 0x83;

// bStatus: command status in bits 7-6, card status in bits 1-0.
constexpr uint8_t kCmdProcessed = 0x00;
constexpr uint8_t kCmdFailed = 0x40;
constexpr uint8_t kIccActive = 0x00;
constexpr uint8_t kIccInactive = 0x01;
constexpr uint8_t kIccAbsent = 0x02;

// bError of a failed command: the offset of the offending header field, or
// one of the CCID error codes.
constexpr uint8_t kErrCmdNotSupported = 0x00;
constexpr uint8_t kErrBadSlot = 0x05;           // offset of bSlot
constexpr uint8_t kErrBadLevelParameter = 0x08; // offset of wLevelParameter
constexpr uint8_t kErrBadParameters = 0x0A;     // offset of bmFindexDindex
constexpr uint8_t kErrIccMute = 0xFE;

// wLevelParameter of an XfrBlock.
constexpr uint16_t kLevelWhole = 0x0000;
constexpr uint16_t kLevelBegin = 0x0001;
constexpr uint16_t kLevelEnd = 0x0002;
constexpr uint16_t kLevelMiddle = 0x0003;
constexpr uint16_t kLevelNextResponse = 0x0010;

// bChainParameter of a data block.
constexpr uint8_t kChainWhole = 0x00;
constexpr uint8_t kChainBegin = 0x01;
constexpr uint8_t kChainEnd = 0x02;
constexpr uint8_t kChainMiddle = 0x03;
constexpr uint8_t kChainMoreCommand = 0x10;

// Vendor escape commands: the firmware query and its reply's head (answer
// code, two reserved bytes, firmware build; the text length follows).
constexpr uint8_t kEscFirmwareQuery[] = {0xE0, 0x00, 0x00, 0x18, 0x00};
constexpr uint8_t kEscFirmwareReplyHead[] = {0xE1, 0x00, 0x00, 0x18};
// The text's length is one byte of the reply, so a text has at most 255
// bytes; with the five bytes ahead of it the reply fits one message of
// every model (261 data bytes at the least).
constexpr size_t kMaxFirmwareText = 255;
// Set speed: 44 n asks for entry n of the speed table, 90 n confirms it.
constexpr uint8_t kEscSetSpeed = 0x44;
constexpr uint8_t kEscSpeedSet = 0x90;
constexpr uint32_t kSpeedTable[] = {9600, 19200, 38400, 57600, 115200, 128000, 230400, 250000, 256000, 500000};

// Status words the reader itself answers with: success (a card without an
// APDU handler) and "wrong data" (a set-speed command for a speed the reader
// cannot run at).
constexpr uint16_t kSwOk = 0x9000;
constexpr uint16_t kSwWrongData = 0x6A80;

// Slots the simulator keeps state for (the models have at most three).
constexpr unsigned kMaxSlots = 8;
// The longest answer-to-reset the reader passes on.  ISO 7816-3 allows 33
// bytes, but the reader does not parse the ATR: it hands the host whatever
// the card sent, so a test can give it a card that breaks the rule.  254
// bytes and the 10-byte header still fit one data block of every model
// (261 bytes at the least).
constexpr size_t kMaxAtrSize = 254;
// A chained command APDU is never longer than this.
constexpr size_t kMaxChainedCommand = 64 * 1024;

// A status word as its two bytes, SW1 first.
Bytes StatusWord(uint16_t sw);

// Frames (protocol.cpp draws the layouts).
uint8_t Checksum(const uint8_t *bytes, size_t count);
Bytes Frame(const Bytes &message);
Bytes AckFrame(uint8_t status);
// dwLength of the message in a frame whose first 1 + kHeaderSize bytes are
// at `frame`.
uint32_t FrameDataLength(const uint8_t *frame);
// End byte and checksum of a frame of the length its dwLength gives.
bool FrameIntact(const Bytes &frame);
// The message inside a frame.
Bytes FrameMessage(const Bytes &frame);
bool IsRepeatRequest(const uint8_t *message, size_t size);

// The header fields of a CCID command message that the reader reads.
struct CommandHeader {
    uint8_t type;
    uint8_t slot;
    uint8_t seq;
    uint8_t specific[3]; // bytes 7 to 9: bPowerSelect, bBWI and wLevelParameter, bProtocolNum...
};
// `message` holds at least kHeaderSize bytes.
CommandHeader ReadCommandHeader(const Bytes &message);
uint16_t LevelParameter(const CommandHeader &command);
// A response message to `command`, echoing its bSlot and bSeq.
Bytes ResponseMessage(const CommandHeader &command, uint8_t type, uint8_t status, uint8_t error, uint8_t byte9,
                      const Bytes &data = {});
// The speed-table entry that a set-speed escape command (44 n) asks for;
// nothing for any other escape command.
std::optional<uint8_t> SetSpeedEntry(const Bytes &escapeCommand);

} // namespace kytsim

#endif
