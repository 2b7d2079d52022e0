// A card emulator of the tests' own that speaks vsmartcard's vpcd protocol
// from a thread, as vicc does: it connects to a slot's port, records every
// message that reaches it and answers as the test tells it.
#ifndef KYT_TESTS_VPCD_EMULATOR_H
#define KYT_TESTS_VPCD_EMULATOR_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "sim_types.h"

namespace rig {

class VpcdEmulator {
public:
    // What the emulator writes back for one message, as it goes on the wire
    // (length included, so that a test can break the protocol); empty for
    // no answer.
    using Responder = std::function<kytsim::Bytes(const kytsim::Bytes &message)>;

    // The plain card: this ATR for "get ATR", no answer to the other control
    // codes, and each APDU's bytes reversed followed by 90 00.
    static kytsim::Bytes Atr();
    static kytsim::Bytes AnswerTo(const kytsim::Bytes &apdu);
    static kytsim::Bytes PlainReply(const kytsim::Bytes &message);
    // A vpcd message on the wire: the 2-byte big-endian length, the bytes.
    static kytsim::Bytes Wire(const kytsim::Bytes &body);

    explicit VpcdEmulator(Responder responder = PlainReply);
    ~VpcdEmulator(); // disconnects
    VpcdEmulator(const VpcdEmulator &) = delete;
    VpcdEmulator &operator=(const VpcdEmulator &) = delete;

    // Connects to 127.0.0.1:port and starts answering; false (with a test
    // failure) when the connection cannot be made.
    bool Connect(uint16_t port);
    void Disconnect();
    // Bytes nothing asked for.
    void SendRaw(const kytsim::Bytes &bytes);

    // Every message received so far, control codes included.
    std::vector<kytsim::Bytes> Messages();
    // Waits until `count` messages have come; false when they do not within
    // `limit`, which is there only so that nothing hangs.
    bool AwaitMessages(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(30));
    // Waits until the other end has closed the connection.
    bool AwaitClosed(std::chrono::milliseconds limit = std::chrono::seconds(30));

private:
    void Run();
    bool ReadMessage(kytsim::Bytes *message);

    Responder responder_;
    int socket_ = -1;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<kytsim::Bytes> messages_;
    bool closed_ = false; // the connection has ended
};

} // namespace rig

#endif
