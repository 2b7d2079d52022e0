// Script files: pairs of a command line and an expected-response line, run
// against a card (command APDUs) or a reader (escape commands).
#ifndef KYT_TEST_SCRIPT_H
#define KYT_TEST_SCRIPT_H

#include <cstddef>
#include <cstdio>

#include "kyt.h"

// Sends one command.  On entry *responseLength holds responseSize; after
// success it holds the number of response bytes.  A transmit function that
// fails has printed its message and returns the library's status.
typedef KYT_STATUS (*ScriptTransmitFn)(ReaderHandle hReader, KYT_ULONG slot, const unsigned char *command,
                                       KYT_ULONG commandLength, unsigned char *response, KYT_ULONG responseSize,
                                       KYT_ULONG *responseLength);

// Command APDUs to the card through KYT_ExchangeApdu.
KYT_STATUS TransmitApdu(ReaderHandle hReader, KYT_ULONG slot, const unsigned char *command, KYT_ULONG commandLength,
                        unsigned char *response, KYT_ULONG responseSize, KYT_ULONG *responseLength);

// Escape commands to the reader through KYT_Control.
KYT_STATUS TransmitControl(ReaderHandle hReader, KYT_ULONG slot, const unsigned char *command, KYT_ULONG commandLength,
                           unsigned char *response, KYT_ULONG responseSize, KYT_ULONG *responseLength);

// The longest script line accepted, line feed included.
inline constexpr size_t kMaxScriptLineLength = 1024 * 1024;

// The next line with its line feed (a last line without one is returned as
// it is), or null at the end of the file, on a read error, when memory runs
// out or when the line is longer than kMaxScriptLineLength; the last two are
// reported on standard output.  *length (when given) receives the number of
// characters read, which exceeds strlen() when the line holds zero bytes.
// The caller frees the line.
char *ReadLine(FILE *file, size_t *length = nullptr);

// Runs one script file; every outcome is printed.
void RunScript(ReaderHandle hReader, KYT_ULONG slot, const char *path, ScriptTransmitFn transmit);

#endif
