// Line speeds the reader family knows, by the index the set-speed command
// carries.
#ifndef KYT_READER_SPEED_H
#define KYT_READER_SPEED_H

#include "kyt.h"

constexpr int BAUD_RATE_COUNT = 10;
extern const KYT_ULONG g_BaudRateTable[BAUD_RATE_COUNT];

// Index of the speed in g_BaudRateTable, or -1.
int32_t FindBaudRate(KYT_ULONG baudRate);

#endif
