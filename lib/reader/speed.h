// Line speeds the reader family knows, by the index the set-speed command
// carries.
#ifndef KYT_READER_SPEED_H
#define KYT_READER_SPEED_H

#include <cstdint>

#include "kyt.h"

// Set-speed escape command: 44 n asks the reader to move to entry n of the
// table below; it confirms with 90 n before it switches.  Only
// KYT_SetBaudRate sends it, because it moves the host port in step.
constexpr uint8_t ESCAPE_SET_SPEED = 0x44;
constexpr uint8_t SET_SPEED_CONFIRMED = 0x90;

constexpr int BAUD_RATE_COUNT = 10;
extern const KYT_ULONG g_BaudRateTable[BAUD_RATE_COUNT];

// Index of the speed in g_BaudRateTable, or -1.
int32_t FindBaudRate(KYT_ULONG baudRate);

#endif
