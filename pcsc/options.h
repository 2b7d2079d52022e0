// Per-reader options, written after the port in the DEVICENAME of the
// reader's reader.conf entry, each behind a ':':
//
//   DEVICENAME  /dev/ttyUSB0:speed=57600:escape=all
//
//   speed=BPS       after opening, ask the reader for BPS bit/s: 9600, 19200,
//                   38400, 57600 or 115200 (the default)
//   speed=keep      stay at the speed the reader was found at
//   escape=version  SCardControl passes only the firmware version query to
//                   the reader (the default)
//   escape=all      SCardControl passes every escape command
//   escape=HEX      SCardControl also passes the escape commands that begin
//                   with these 1 to 8 bytes (hex, for example escape=A5 or
//                   escape=A501); may be given up to 8 times
//   timeout=SECONDS how long a card may take over one APDU or escape
//                   command: 1 to 3600 (default 60)
//   slots=N         the slots pcscd is told of while the reader cannot be
//                   asked (its port does not exist yet): 1 to 3 (default 3,
//                   the family's largest)
//   log=TOPICS      what the handler logs besides its errors and the
//                   reader's events: errors (nothing more, the default),
//                   or calls, escapes and polls joined by '+' (all for the
//                   three); KYT_IFD_LOG in pcscd's environment sets the
//                   default for every reader
//
// The set-speed command (44 n) is never passed: the line speed belongs to
// the handler.  ':' separates the options because pcscd's reader.conf
// parser takes no ',' or ';' in an unquoted value.  An unknown or malformed
// option is reported in pcscd's log and left out; the reader opens with
// the defaults in its place.
#ifndef IFDKYT_OPTIONS_H
#define IFDKYT_OPTIONS_H

#include <stddef.h>

namespace ifdkyt {

constexpr unsigned long kDefaultSpeed = 115200;
// On-card key generation takes 10 to 60 s.
constexpr unsigned kDefaultCommandSeconds = 60;
constexpr unsigned kMaxCommandSeconds = 3600;
// The family's largest reader: pcscd asks for the slot count before a
// reader whose port is not there yet can tell it.
constexpr unsigned long kDefaultSlots = 3;
constexpr unsigned long kMaxDeclaredSlots = 3;
constexpr size_t kMaxEscapePrefixes = 8;
constexpr size_t kMaxEscapePrefixLength = 8;

struct EscapePrefix {
    unsigned char bytes[kMaxEscapePrefixLength];
    size_t length;
};

struct ReaderOptions {
    unsigned long speed;     // bit/s to ask for after opening; 0 keeps the speed found
    unsigned commandSeconds; // response timeout of APDUs and escape commands
    unsigned long slots;     // declared slot count; 0 when not declared
    unsigned logTopics;      // LogTopic bits
    bool allEscapes;
    EscapePrefix prefixes[kMaxEscapePrefixes];
    size_t prefixCount;
};

// The defaults, with KYT_IFD_LOG's topics when pcscd's environment has it.
ReaderOptions DefaultOptions();

// Splits a DEVICENAME into the port and the options after it.  The port is
// the longest part of the name, up to the whole name or up to a ':', that
// names an existing file, so a port whose own name holds ':' (such as a
// /dev/serial/by-path link) keeps working; when no part exists, the options
// begin at the first ':' followed by a "name=value".  False, with nothing
// set, when the port does not fit portSize.
bool ParseDeviceName(const char *deviceName, char *port, size_t portSize, ReaderOptions *options);

} // namespace ifdkyt

#endif
