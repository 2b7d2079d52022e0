// A card emulator at the other end of a TCP connection, such as
// vsmartcard's vicc or jCardSim's vsmartcard remote, as the card of a slot.
// They speak vsmartcard's vpcd protocol: every message, both ways, is
//
//   +---------------------------+---------------------------+
//   | length: 2 bytes,          | message: `length` bytes   |
//   | big-endian                |                           |
//   +---------------------------+---------------------------+
//
// From the reader, a 1-byte message is a control code: 00 power off, 01
// power on, 02 reset, 04 get ATR; only "get ATR" is answered, with the ATR.
// A longer message is a command APDU, answered by the response APDU.
#ifndef KYT_SIM_VPCD_CARD_H
#define KYT_SIM_VPCD_CARD_H

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "sim_reader.h"

namespace kytsim::program {

// The vpcd protocol's control codes.
constexpr uint8_t kVpcdCtrlOff = 0x00;
constexpr uint8_t kVpcdCtrlOn = 0x01;
constexpr uint8_t kVpcdCtrlReset = 0x02;
constexpr uint8_t kVpcdCtrlAtr = 0x04;
// The largest message the 2-byte length can announce.
constexpr size_t kMaxVpcdMessage = 0xFFFF;

// The card of one connection.  Each power-on, power-off and APDU is one
// exchange, done within the timeout; an emulator that does not answer in
// time, closes the connection or breaks the protocol (an ATR or response
// of a length no card gives, bytes nobody asked for) ends the connection,
// and the card answers nothing from then on.
class VpcdCard : public CardDevice {
public:
    // Takes over `socket`, a connected, non-blocking stream socket.
    VpcdCard(int socket, std::chrono::milliseconds timeout);
    ~VpcdCard() override; // closes the socket
    VpcdCard(const VpcdCard &) = delete;
    VpcdCard &operator=(const VpcdCard &) = delete;

    std::optional<Bytes> PowerOn() override;
    void PowerOff() override;
    std::optional<Bytes> Transmit(const Bytes &apdu) override;

    // The socket, to watch while no exchange is going on.
    int Socket() const { return socket_; }
    // Ends the connection at once, from any thread; an exchange in progress
    // fails.  The first reason given is the one kept.
    void Drop(const std::string &why);
    // Looks at the connection between exchanges (waiting for one in
    // progress to end): "" while the emulator is there and has sent nothing
    // unasked, else why the connection is over (it is dropped then).
    std::string CheckIdle();

private:
    bool Send(const Bytes &message, Clock::time_point deadline);
    std::optional<Bytes> Receive(size_t shortest, size_t longest, const char *what, Clock::time_point deadline);
    bool ReadExactly(uint8_t *into, size_t count, Clock::time_point deadline);
    bool WaitFor(short events, Clock::time_point deadline);
    bool Dropped();
    std::string DropReason();

    const int socket_;
    const std::chrono::milliseconds timeout_;
    std::mutex exchangeMutex_; // held for a whole exchange
    bool powered_ = false;     // under exchangeMutex_
    std::mutex dropMutex_;     // never held for long: Drop() must not wait for an exchange
    std::string dropReason_;   // "" while connected
};

} // namespace kytsim::program

#endif
