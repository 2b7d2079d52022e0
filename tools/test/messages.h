// Messages that more than one part of kyt_test prints.
#ifndef KYT_TEST_MESSAGES_H
#define KYT_TEST_MESSAGES_H

#include "kyt.h"

// Printed as a line (puts).
inline constexpr const char *kMsgNoMemory = "Error: Not enough memory";
inline constexpr const char *kMsgBadLength = "Error: Response length is invalid";

// The line every failed library call prints:
// "Error: <function> failed with error 0x<status, eight hex digits>".
void PrintFailure(const char *function, KYT_STATUS status);

#endif
