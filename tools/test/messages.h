// Messages that more than one part of kyt_test prints.
#ifndef KYT_TEST_MESSAGES_H
#define KYT_TEST_MESSAGES_H

// Printed as a line (puts).
inline constexpr const char *kMsgNoMemory = "Error: Not enough memory";
inline constexpr const char *kMsgBadLength = "Error: Response length is invalid";

#endif
