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
constexpr size_t kMaxEscapePrefixes = 8;
constexpr size_t kMaxEscapePrefixLength = 8;

struct EscapePrefix {
    unsigned char bytes[kMaxEscapePrefixLength];
    size_t length;
};

struct ReaderOptions {
    unsigned long speed; // bit/s to ask for after opening; 0 keeps the speed found
    bool allEscapes;
    EscapePrefix prefixes[kMaxEscapePrefixes];
    size_t prefixCount;
};

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
