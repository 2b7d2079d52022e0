// The reader's identity, from its answer to the firmware version query.
//
// The query is the escape command E0 00 00 18 00.  Nothing is known of the
// first five bytes of the reply; the version text runs from byte 5 to the
// end of the reply and begins with the model's name:
//
//   +--------------------+---------------------------------------------+
//   | bytes 0 to 4       | bytes 5 to the end                          |
//   | (not looked at)    | "KYT7710P_V3 1.0.1": model, firmware version |
//   +--------------------+---------------------------------------------+
#ifndef IFDKYT_FIRMWARE_H
#define IFDKYT_FIRMWARE_H

#include <stddef.h>
#include <stdint.h>

namespace ifdkyt {

constexpr unsigned char kFirmwareQuery[] = {0xE0, 0x00, 0x00, 0x18, 0x00};
constexpr size_t kFirmwareTextOffset = 5;
// The reply is read with room for the largest message data the handler
// carries anywhere (an extended APDU's response), so that a reader with a
// long text still answers in step; the text kept is cut to 63 characters.
constexpr size_t kFirmwareReplyCapacity = 65536;
constexpr size_t kIdentityTextSize = 64;

struct ReaderIdentity {
    char text[kIdentityTextSize];  // the version text, printable ASCII, trimmed
    char model[kIdentityTextSize]; // its first word; empty when there is none
    uint32_t version;              // 0xMMmmbbbb: major, minor, build
    bool hasVersion;               // a "major.minor[.build]" followed the model
};

// Fills *identity from a reply of `length` bytes; a reply of five bytes or
// fewer gives an empty identity.
void ParseFirmwareReply(const unsigned char *reply, size_t length, ReaderIdentity *identity);

// True when the escape command is exactly the firmware version query.
bool IsFirmwareQuery(const unsigned char *command, size_t length);

} // namespace ifdkyt

#endif
