#include "transport_rig.h"

#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "ccid.h"
#include "comport.h"
#include "pty_line.h"

namespace trig {

namespace {

constexpr std::chrono::milliseconds POLL_STEP(10);
constexpr std::chrono::seconds MARKER_LIMIT(30);
constexpr size_t kHostFrameHeader = 1 + CCID_HEADER_SIZE;

// A frame around a message of a type no command has.
const Bytes &Marker()
{
    static const Bytes marker = wire::Frame(Bytes{0xEE, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    return marker;
}

uint32_t LengthField(const uint8_t *bytes)
{
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

} // namespace

ReaderDevice *NewDevice(const std::string &path, KYT_ULONG timeoutMs)
{
    auto *device = static_cast<ReaderDevice *>(calloc(1, sizeof(ReaderDevice)));
    if (device == nullptr) {
        ADD_FAILURE() << "calloc";
        return nullptr;
    }
    InitRecursiveMutex(&device->readerLock);
    device->comPort = ComPort_OpenA(path.c_str(), 9600, 8, 'N', 1, 'N');
    if (device->comPort < 0) {
        ADD_FAILURE() << "cannot open " << path;
        pthread_mutex_destroy(&device->readerLock);
        free(device);
        return nullptr;
    }
    device->commandStart = FRAME_START;
    device->commandEnd = FRAME_END;
    device->responseStart = FRAME_START;
    device->responseEnd = FRAME_END;
    device->numSlots = 3;
    device->maxBlockSize = 261;
    device->statusTimeout = timeoutMs;
    device->responseTimeout = timeoutMs;
    device->statusRetries = 1;
    device->responseRetries = 1;
    return device;
}

void FreeDevice(ReaderDevice *device)
{
    if (device == nullptr)
        return;
    ComPort_Close(device->comPort);
    pthread_mutex_destroy(&device->readerLock);
    free(device);
}

ScriptedPeer::ScriptedPeer() = default;

ScriptedPeer::~ScriptedPeer()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    rig::ClosePtyLine(&line_);
}

bool ScriptedPeer::Start()
{
    if (!rig::OpenPtyLine(&line_))
        return false;
    master_ = line_.master;
    thread_ = std::thread([this] { Run(); });
    return true;
}

void ScriptedPeer::AddReply(const Bytes &bytes)
{
    AddReply(Reply{Piece{bytes, std::chrono::milliseconds(0)}});
}

void ScriptedPeer::AddReply(const Reply &reply)
{
    std::lock_guard<std::mutex> guard(mutex_);
    replies_.push_back(reply);
}

void ScriptedPeer::AddSilence()
{
    AddReply(Reply{});
}

void ScriptedPeer::Feed(const Bytes &bytes)
{
    std::lock_guard<std::mutex> guard(mutex_);
    feeds_.push_back(bytes);
}

std::vector<Bytes> ScriptedPeer::HostFrames() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return hostFrames_;
}

std::vector<Bytes> ScriptedPeer::SettledHostFrames(int hostFd)
{
    size_t sent = 0;
    while (sent < Marker().size()) {
        ssize_t put = write(hostFd, Marker().data() + sent, Marker().size() - sent);
        if (put <= 0) {
            ADD_FAILURE() << "cannot write the marker";
            return HostFrames();
        }
        sent += static_cast<size_t>(put);
    }
    std::unique_lock<std::mutex> lock(mutex_);
    size_t expected = ++markersSent_;
    if (!changed_.wait_for(lock, MARKER_LIMIT, [&] { return markersSeen_ >= expected; }))
        ADD_FAILURE() << "the marker did not arrive";
    return hostFrames_;
}

void ScriptedPeer::Run()
{
    while (!stop_) {
        Bytes feed;
        bool haveFeed = false;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            if (!feeds_.empty()) {
                feed = feeds_.front();
                feeds_.pop_front();
                haveFeed = true;
            }
        }
        if (haveFeed) {
            WriteAll(feed);
            continue;
        }

        Bytes frame;
        if (!ReadHostFrame(&frame))
            continue;
        if (frame == Marker()) {
            std::lock_guard<std::mutex> guard(mutex_);
            markersSeen_++;
            changed_.notify_all();
            continue;
        }
        Reply reply;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            hostFrames_.push_back(frame);
            if (!replies_.empty()) {
                reply = replies_.front();
                replies_.pop_front();
            }
            changed_.notify_all();
        }
        for (const Piece &piece : reply) {
            if (!Sleep(piece.delayBefore) || !WriteAll(piece.bytes))
                break;
        }
    }
}

// Collects host bytes until one whole frame (start byte, header, dwLength
// data bytes, checksum, end byte) is in; false after a poll step without one.
bool ScriptedPeer::ReadHostFrame(Bytes *frame)
{
    auto complete = [this](size_t *length) {
        if (pending_.size() < kHostFrameHeader)
            return false;
        *length = size_t{LengthField(pending_.data() + 1 + CCID_OFFSET_LENGTH)} + kHostFrameHeader + 2;
        return pending_.size() >= *length;
    };
    size_t length = 0;
    if (!complete(&length)) {
        uint8_t buffer[4096];
        pollfd port = {master_, POLLIN, 0};
        if (poll(&port, 1, static_cast<int>(POLL_STEP.count())) <= 0)
            return false;
        ssize_t got = read(master_, buffer, sizeof buffer);
        if (got <= 0)
            return false;
        pending_.insert(pending_.end(), buffer, buffer + got);
        if (!complete(&length))
            return false;
    }
    frame->assign(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(length));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(length));
    return true;
}

// Writes everything, waiting for room while the host reads; gives up when
// the peer is stopped.
bool ScriptedPeer::WriteAll(const Bytes &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        if (stop_)
            return false;
        ssize_t put = write(master_, bytes.data() + done, bytes.size() - done);
        if (put > 0) {
            done += static_cast<size_t>(put);
            continue;
        }
        pollfd port = {master_, POLLOUT, 0};
        poll(&port, 1, static_cast<int>(POLL_STEP.count()));
    }
    return true;
}

bool ScriptedPeer::Sleep(std::chrono::milliseconds delay)
{
    auto until = std::chrono::steady_clock::now() + delay;
    while (std::chrono::steady_clock::now() < until) {
        if (stop_)
            return false;
        std::this_thread::sleep_for(std::min(delay, POLL_STEP));
    }
    return true;
}

} // namespace trig
