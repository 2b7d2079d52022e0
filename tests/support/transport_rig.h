// Helpers for the transport tests: a reader record built by hand on a port,
// and a scripted peer that plays the reader on a raw pseudo-terminal byte
// for byte, for corner cases the simulated reader never produces.  The
// frames and messages it plays are built with wire.h.
#ifndef KYT_TESTS_TRANSPORT_RIG_H
#define KYT_TESTS_TRANSPORT_RIG_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device.h"
#include "pty_line.h"
#include "wire.h"

namespace trig {

using wire::Bytes;

// A zero-filled reader record on the port at `path`, opened at 9600 8N1:
// framing bytes 02 03 02 03, both timeouts `timeoutMs`, one retry each,
// three slots, blocks of 261 bytes.  Null (and a test failure) when the
// port cannot be opened.
ReaderDevice *NewDevice(const std::string &path, KYT_ULONG timeoutMs = 200);
void FreeDevice(ReaderDevice *device);

// The reader end of a pty pair, answering each frame the host sends with the
// next reply from its script (nothing once the script is used up).  It reads
// host frames by their dwLength, as a reader does; the repeat request reads
// as a frame around an all-zero message.
class ScriptedPeer {
public:
    struct Piece {
        Bytes bytes;
        std::chrono::milliseconds delayBefore{0};
    };
    using Reply = std::vector<Piece>;

    ScriptedPeer();
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer &) = delete;
    ScriptedPeer &operator=(const ScriptedPeer &) = delete;

    bool Start();
    const std::string &Path() const { return line_.slavePath; }

    void AddReply(const Bytes &bytes);
    void AddReply(const Reply &reply);
    void AddSilence(); // answers the next host frame with nothing
    // Bytes written at once, not waiting for a host frame.
    void Feed(const Bytes &bytes);

    // Host frames received so far, each as on the wire.
    std::vector<Bytes> HostFrames() const;
    // Every frame the host sent on `hostFd` before this call.  The host's
    // writes are complete when its call returns; a marker frame written
    // behind them on the same line reaches the peer after all of them, so
    // once the marker is in, nothing sent before it is still on its way.
    // Markers take no reply and are not counted among the host frames.
    std::vector<Bytes> SettledHostFrames(int hostFd);

private:
    void Run();
    bool ReadHostFrame(Bytes *frame);
    bool ReadSome(uint8_t *buffer, size_t count);
    bool WriteAll(const Bytes &bytes);
    bool Sleep(std::chrono::milliseconds delay);

    rig::PtyLine line_;
    int master_ = -1; // line_.master
    std::thread thread_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::deque<Reply> replies_;
    std::deque<Bytes> feeds_;
    std::vector<Bytes> hostFrames_;
    size_t markersSent_ = 0;
    size_t markersSeen_ = 0;
    Bytes pending_; // bytes of a host frame read so far
};

} // namespace trig

#endif
