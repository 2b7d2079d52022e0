// The host end of a line to the simulated reader, opened with plain
// termios: raw bytes and whole frames, with bounded waits, so that the
// simulator's tests check its answers byte by byte without the library.
#ifndef KYT_TESTS_WIRE_HOST_H
#define KYT_TESTS_WIRE_HOST_H

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "wire.h"

namespace wire {

class Host {
public:
    explicit Host(const std::string &path, uint32_t bps = 9600);
    ~Host();
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;
    bool ok() const { return fd_ >= 0; }

    void SetSpeed(uint32_t bps);
    void Write(const Bytes &bytes);
    // Up to count bytes, waiting at most timeout for each piece.
    Bytes Read(size_t count, std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));
    // One frame from the reader, sized by the dwLength it carries.
    Bytes ReadFrame(std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));
    // Sends a command frame and returns the acknowledge and the response message.
    std::pair<Bytes, Bytes> Exchange(const Bytes &message);
    // Bytes that arrive within the wait (none expected).
    Bytes Silence(std::chrono::milliseconds wait = std::chrono::milliseconds(300)) { return Read(1, wait); }

private:
    int fd_ = -1;
};

} // namespace wire

#endif
