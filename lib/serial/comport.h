// POSIX serial port: raw mode at one of five line speeds, reads with a
// millisecond timeout.  Results are true/false (or a descriptor / -1); after a
// failure errno is as the failing system call left it.
#ifndef KYT_SERIAL_COMPORT_H
#define KYT_SERIAL_COMPORT_H

#include <termios.h>

#include <cstdint>
#include <cwchar>

int ComPort_OpenA(const char *name, uint32_t speed, uint8_t dataBits, char parity, uint8_t stopBits, char flowControl);
int ComPort_OpenW(const wchar_t *name, uint32_t speed, uint8_t dataBits, char parity, uint8_t stopBits,
                  char flowControl);

// Builds the raw-mode settings into *settings (starting from what it holds);
// false for a setting outside the supported ones, with *settings then
// unspecified.  ComPort_Init applies what this builds.
bool ComPort_BuildSettings(struct termios *settings, uint32_t speed, uint8_t dataBits, char parity, uint8_t stopBits,
                           char flowControl);
bool ComPort_Init(int fd, uint32_t speed, uint8_t dataBits, char parity, uint8_t stopBits, char flowControl);
bool ComPort_Close(int fd);
bool ComPort_Read(int fd, uint8_t *buffer, uint32_t maxBytes, uint32_t *bytesRead, uint32_t timeoutMs);
bool ComPort_Write(int fd, const uint8_t *data, uint32_t count, uint32_t *bytesWritten);
bool ComPort_ClearBuffer(int fd);
bool ComPort_GetBaudRate(int fd, uint32_t *baudRate);
bool ComPort_SetBaudRate(int fd, uint32_t baudRate);
bool MapBaudRateToSpeed(uint32_t baudRate, speed_t *speed);
bool MapSpeedToBaudRate(speed_t speed, uint32_t *baudRate);

// Taking the port for this program alone (exclusive.cpp): an advisory lock
// and the tty's exclusive flag.  The opens claim the port and ComPort_Close
// releases it.  A port someone else holds fails with errno EBUSY and is left
// untouched; a descriptor that is no terminal fails with ENOTTY.
bool ComPort_Claim(int fd);
void ComPort_Release(int fd);

// The driver's low-latency flag (latency.cpp).  RequestLowLatency sets it
// where the driver offers it and returns true only when it turned it on, in
// which case the caller turns it off again with EndLowLatency before the
// close.  Neither fails nor changes errno where the driver has no such flag.
bool ComPort_RequestLowLatency(int fd);
void ComPort_EndLowLatency(int fd);

#endif
