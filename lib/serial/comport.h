// POSIX serial port: raw mode at one of five line speeds, reads with a
// millisecond timeout.  Results are true/false (or a descriptor / -1); after a
// failure errno is as the failing system call left it.
#ifndef KYT_SERIAL_COMPORT_H
#define KYT_SERIAL_COMPORT_H

#include <termios.h>

#include <cstdint>
#include <cwchar>

int ComPort_OpenA(const char *name, uint32_t speed, uint8_t dataBits, char parity, uint8_t stopBits,
                  char flowControl);
int ComPort_OpenW(const wchar_t *name, uint32_t speed, uint8_t dataBits, char parity, uint8_t stopBits,
                  char flowControl);

// Builds the raw-mode settings into *settings (starting from what it holds);
// false for a setting outside the supported ones, with *settings then
// unspecified.  ComPort_Init applies what this builds.
bool ComPort_BuildSettings(struct termios *settings, uint32_t speed, uint8_t dataBits, char parity,
                           uint8_t stopBits, char flowControl);
bool ComPort_Init(int fd, uint32_t speed, uint8_t dataBits, char parity, uint8_t stopBits, char flowControl);
bool ComPort_Close(int fd);
bool ComPort_Read(int fd, uint8_t *buffer, uint32_t maxBytes, uint32_t *bytesRead, uint32_t timeoutMs);
bool ComPort_Write(int fd, const uint8_t *data, uint32_t count, uint32_t *bytesWritten);
bool ComPort_ClearBuffer(int fd);
bool ComPort_GetBaudRate(int fd, uint32_t *baudRate);
bool ComPort_SetBaudRate(int fd, uint32_t baudRate);
bool MapBaudRateToSpeed(uint32_t baudRate, speed_t *speed);
bool MapSpeedToBaudRate(speed_t speed, uint32_t *baudRate);

#endif
