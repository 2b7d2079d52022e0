// The simulated reader: a thread at the master end of a pty pair that plays a
// KYT serial reader.
//
// The thread reads what the host writes, throws away bytes sent at the wrong
// line speed, reassembles frames, acknowledges them and answers the CCID
// message inside.  Everything that reaches the wire from the reader goes
// through SendToHost(), and everything that comes from the host goes through
// Deliver(); pacing and disturbances of the line belong in those two.
#include "sim_reader.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

namespace kytsim {

namespace {

// Frame link bytes.
constexpr uint8_t kFrameStart = 0x02;
constexpr uint8_t kFrameEnd = 0x03;
constexpr uint8_t kAckOk = 0x00;
constexpr uint8_t kAckRefused = 0x01;
constexpr uint8_t kTrailingByte = 0x00; // line noise after a frame
constexpr size_t kHeaderSize = 10;  // CCID message header
constexpr size_t kFrameOverhead = 3; // start, checksum, end
// The largest data part the reader takes in one frame.  A bigger dwLength
// is taken for line noise: the start byte is dropped and the reader looks
// for the next one, so a hostile length never makes it buffer without bound.
constexpr uint32_t kMaxFrameData = 64 * 1024;
// A frame that has stopped arriving for this long is given up.
constexpr std::chrono::milliseconds kPartialFrameTimeout{100};
// A host that reads nothing for this long loses what the reader writes.
constexpr std::chrono::milliseconds kWriteStallTimeout{1000};
// Slots the simulator keeps state for (the models have at most three).
constexpr unsigned kMaxSlots = 8;
// A chained command APDU is never longer than this.
constexpr size_t kMaxChainedCommand = 64 * 1024;
// On a paced line the reader writes to the host in pieces of at most this
// many bytes, as a UART hands over its FIFO.
constexpr size_t kPacePiece = 16;
// A byte on an 8N1 line is a start bit, eight data bits and a stop bit.
constexpr uint64_t kBitsPerByte = 10;

// CCID message types.
constexpr uint8_t PC_TO_RDR_SET_PARAMETERS = 0x61;
constexpr uint8_t PC_TO_RDR_ICC_POWER_ON = 0x62;
constexpr uint8_t PC_TO_RDR_ICC_POWER_OFF = 0x63;
constexpr uint8_t PC_TO_RDR_GET_SLOT_STATUS = 0x65;
constexpr uint8_t PC_TO_RDR_ESCAPE = 0x6B;
constexpr uint8_t PC_TO_RDR_XFR_BLOCK = 0x6F;
constexpr uint8_t RDR_TO_PC_DATA_BLOCK = 0x80;
constexpr uint8_t RDR_TO_PC_SLOT_STATUS = 0x81;
constexpr uint8_t RDR_TO_PC_PARAMETERS = 0x82;
constexpr uint8_t RDR_TO_PC_ESCAPE = 0x83;

// bStatus: command status in bits 7-6, card status in bits 1-0.
constexpr uint8_t CMD_PROCESSED = 0x00;
constexpr uint8_t CMD_FAILED = 0x40;
constexpr uint8_t ICC_ACTIVE = 0x00;
constexpr uint8_t ICC_INACTIVE = 0x01;
constexpr uint8_t ICC_ABSENT = 0x02;

// bError values.
constexpr uint8_t ERR_CMD_NOT_SUPPORTED = 0x00;
constexpr uint8_t ERR_BAD_SLOT = 0x05;
constexpr uint8_t ERR_BAD_LEVEL_PARAMETER = 0x08; // offset of wLevelParameter
constexpr uint8_t ERR_BAD_PARAMETERS = 0x0A;      // offset of bmFindexDindex
constexpr uint8_t ERR_ICC_MUTE = 0xFE;

// wLevelParameter of an XfrBlock.
constexpr uint16_t LEVEL_WHOLE = 0x0000;
constexpr uint16_t LEVEL_BEGIN = 0x0001;
constexpr uint16_t LEVEL_END = 0x0002;
constexpr uint16_t LEVEL_MIDDLE = 0x0003;
constexpr uint16_t LEVEL_NEXT_RESPONSE = 0x0010;

// bChainParameter of a data block.
constexpr uint8_t CHAIN_WHOLE = 0x00;
constexpr uint8_t CHAIN_BEGIN = 0x01;
constexpr uint8_t CHAIN_END = 0x02;
constexpr uint8_t CHAIN_MIDDLE = 0x03;
constexpr uint8_t CHAIN_MORE_COMMAND = 0x10;

// Vendor escape commands.
constexpr uint8_t kFirmwareQuery[] = {0xE0, 0x00, 0x00, 0x18, 0x00};
constexpr uint8_t ESC_SET_SPEED = 0x44;
constexpr uint8_t ESC_SPEED_SET = 0x90;
// A reader that cannot run at the speed asked for answers "wrong data".
const Bytes kSpeedRefused = {0x6A, 0x80};

constexpr uint32_t kSpeedTable[] = {9600, 19200, 38400, 57600, 115200,
                                    128000, 230400, 250000, 256000, 500000};

struct SpeedName {
    speed_t constant;
    uint32_t bitsPerSecond;
};

constexpr SpeedName kSpeedNames[] = {
    {B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},
    {B150, 150},       {B200, 200},       {B300, 300},       {B600, 600},
    {B1200, 1200},     {B1800, 1800},     {B2400, 2400},     {B4800, 4800},
    {B9600, 9600},     {B19200, 19200},   {B38400, 38400},   {B57600, 57600},
    {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B500000, 500000},
    {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000},
};

// The line speed of a termios speed value.  Newer C libraries may hand out
// plain bit rates; those are larger than every B constant and taken as they are.
uint32_t BitsPerSecond(speed_t speed)
{
    if (speed == B0)
        return 0;
    for (const SpeedName &name : kSpeedNames) {
        if (name.constant == speed)
            return name.bitsPerSecond;
    }
    return speed > 0x100F ? static_cast<uint32_t>(speed) : 0;
}

// Time that `bytes` bytes take on the line at `bitsPerSecond`, computed
// for the whole count so that long frames gather no rounding error.
Clock::duration LineTime(size_t bytes, uint32_t bitsPerSecond)
{
    if (bitsPerSecond == 0)
        return Clock::duration::zero();
    uint64_t ns = static_cast<uint64_t>(bytes) * kBitsPerByte * 1000000000ULL / bitsPerSecond;
    return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(ns));
}

uint8_t Checksum(const uint8_t *bytes, size_t count)
{
    uint8_t sum = 0;
    for (size_t i = 0; i < count; i++)
        sum ^= bytes[i];
    return sum;
}

Bytes Frame(const Bytes &message)
{
    Bytes frame;
    frame.reserve(message.size() + kFrameOverhead);
    frame.push_back(kFrameStart);
    frame.insert(frame.end(), message.begin(), message.end());
    frame.push_back(Checksum(message.data(), message.size()));
    frame.push_back(kFrameEnd);
    return frame;
}

uint32_t ReadLe32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// A CCID response: 10-byte header (type, dwLength, bSlot, bSeq, bStatus,
// bError, byte 9) and the data.
Bytes Response(uint8_t type, uint8_t slot, uint8_t seq, uint8_t status, uint8_t error,
               uint8_t byte9, const Bytes &data = {})
{
    Bytes message(kHeaderSize);
    message[0] = type;
    uint32_t length = static_cast<uint32_t>(data.size());
    for (int i = 0; i < 4; i++)
        message[1 + i] = static_cast<uint8_t>(length >> (8 * i));
    message[5] = slot;
    message[6] = seq;
    message[7] = status;
    message[8] = error;
    message[9] = byte9;
    message.insert(message.end(), data.begin(), data.end());
    return message;
}

} // namespace

const char *ModelString(Model model)
{
    switch (model) {
    case Model::KYT7710P:
        return "KYT7710P";
    case Model::KYT7710P_V3:
        return "KYT7710P_V3";
    case Model::KYT4460P:
        return "KYT4460P";
    }
    return "KYT7710P_V3";
}

unsigned ModelSlots(Model model)
{
    return model == Model::KYT7710P ? 2 : 3;
}

Bytes FirmwareReply(Model model)
{
    // Five header bytes: the answer code E1, two reserved bytes, the firmware
    // build and the length of the text that follows.
    std::string text = std::string(ModelString(model)) + " 1.0.1";
    Bytes reply;
    reply.reserve(5 + text.size());
    for (uint8_t b : {0xE1, 0x00, 0x00, 0x18})
        reply.push_back(b);
    reply.push_back(static_cast<uint8_t>(text.size()));
    for (char c : text)
        reply.push_back(static_cast<uint8_t>(c));
    return reply;
}

struct SimReader::State {
    // What the reader knows about one card slot.
    struct Slot {
        std::optional<Card> card;
        bool powered = false;
        bool bounce = false;        // the next APDU finds the card pulled and put back
        int refuseParameters = 0; // negative: refuse all
        Bytes lastParameters;
        bool commandChain = false;  // blocks of a command APDU are arriving
        Bytes chainedCommand;
        Bytes pendingResponse;      // rest of a chained response
        size_t pendingOffset = 0;
    };

    // One answer the reader has worked out for a command frame.
    struct Answer {
        bool acknowledge = true;
        Bytes ack;
        bool respond = false;
        Bytes response;                 // CCID message
        std::optional<uint32_t> newSpeed; // applied once the response is written
    };

    explicit State(const Config &c) : config(c), speed(c.speed), slots(kMaxSlots) {}

    mutable std::mutex mutex;
    std::condition_variable wake; // Stop() interrupts pauses through it
    Config config;
    uint32_t speed;
    EscapeHandler escapeHandler;
    uint8_t escapeFailureError = ERR_CMD_NOT_SUPPORTED;
    std::optional<Bytes> speedChangeReply;
    bool ignoreSpeedChange = false;
    std::vector<Slot> slots;
    Faults faults;
    std::optional<RandomFaults> randomFaults;
    std::mt19937 random;
    size_t randomInjected = 0;

    std::vector<LogEntry> log;
    std::vector<Bytes> commands;
    size_t repeatRequests = 0;

    Bytes lastResponseFrame;            // good copy, for repeat requests
    std::optional<uint32_t> speedAfterResponse;

    // Descriptors and thread.
    int master = -1;
    int slave = -1;
    int wakePipe[2] = {-1, -1};
    std::string portPath;
    std::thread thread;
    bool running = false;
    std::atomic<bool> stopping{false};
    // Bytes that crossed the line each way, for the share of the line in use.
    std::atomic<uint64_t> hostBytes{0};
    std::atomic<uint64_t> readerBytes{0};

    // Reassembly (thread only).
    Bytes rx;
    Bytes stray;
    Clock::time_point lastRx;
    // Pacing (thread only): when each direction of the line is free again.
    Clock::time_point rxLineFree;
    Clock::time_point txLineFree;
    bool apduAnswered = false; // the card answered a command APDU in this frame

    void Run();
    void ReadFromHost();
    void Deliver(const uint8_t *bytes, size_t count, Clock::time_point when);
    void FlushStray(Clock::time_point when);
    void HandleFrame(const Bytes &frame, Clock::time_point when);
    void HandleCommand(const Bytes &message);
    void HandleRepeatRequest();
    bool SendToHost(const Bytes &bytes);
    void DrawRandomFault(); // with the mutex held
    bool WriteToHost(const uint8_t *bytes, size_t count);
    bool WaitUntil(Clock::time_point deadline);
    uint32_t PacedSpeed(); // the line speed when pacing is on, else 0
    void SendResponseFrame(const Bytes &frame, const Bytes &ahead = {});
    bool Pause(std::chrono::milliseconds delay);
    void AddLog(Direction direction, const Bytes &bytes, Clock::time_point when);

    // Command handlers; called with the mutex held, except where a card or
    // escape handler has to run (they take the lock argument to release it).
    Bytes PowerOn(const Bytes &m, Slot &slot);
    Bytes PowerOff(const Bytes &m, Slot &slot);
    Bytes SlotStatus(const Bytes &m, Slot &slot);
    Bytes SetParameters(const Bytes &m, Slot &slot);
    Bytes XfrBlock(const Bytes &m, unsigned slotNumber, std::unique_lock<std::mutex> &lock);
    Bytes Escape(const Bytes &m, Answer &answer, std::unique_lock<std::mutex> &lock);
    Bytes NextResponseBlock(const Bytes &m, Slot &slot, Bytes data);
    static uint8_t CardStatus(const Slot &slot);
    void CloseAll();
};

uint8_t SimReader::State::CardStatus(const Slot &slot)
{
    if (!slot.card)
        return ICC_ABSENT;
    return slot.powered ? ICC_ACTIVE : ICC_INACTIVE;
}

void SimReader::State::AddLog(Direction direction, const Bytes &bytes, Clock::time_point when)
{
    std::lock_guard<std::mutex> guard(mutex);
    log.push_back(LogEntry{direction, when, bytes});
}

bool SimReader::State::Pause(std::chrono::milliseconds delay)
{
    if (delay.count() <= 0)
        return true;
    std::unique_lock<std::mutex> lock(mutex);
    return !wake.wait_for(lock, delay, [this] { return stopping.load(); });
}

// Waits for an absolute time, so that a schedule of many waits does not
// drift by the lateness of each one.  False when the simulator stops.
bool SimReader::State::WaitUntil(Clock::time_point deadline)
{
    if (Clock::now() >= deadline)
        return !stopping;
    std::unique_lock<std::mutex> lock(mutex);
    return !wake.wait_until(lock, deadline, [this] { return stopping.load(); });
}

uint32_t SimReader::State::PacedSpeed()
{
    std::lock_guard<std::mutex> guard(mutex);
    return config.pace ? speed : 0;
}

// Sends bytes to the host.  Unpaced they go out as one piece; paced, each
// piece is written when its last byte has crossed the line, counted from when
// the line is free (the reader's earlier bytes may still be on their way).
bool SimReader::State::SendToHost(const Bytes &bytes)
{
    uint32_t bitsPerSecond = PacedSpeed();
    if (bitsPerSecond == 0)
        return WriteToHost(bytes.data(), bytes.size());
    Clock::time_point start = std::max(Clock::now(), txLineFree);
    txLineFree = start + LineTime(bytes.size(), bitsPerSecond);
    for (size_t done = 0; done < bytes.size();) {
        size_t size = std::min(kPacePiece, bytes.size() - done);
        if (!WaitUntil(start + LineTime(done + size, bitsPerSecond)))
            return false;
        if (!WriteToHost(bytes.data() + done, size))
            return false;
        done += size;
    }
    return true;
}

// Writes bytes to the host as one piece.  A host that stops reading for a
// long time loses the rest, as it would on a real line.
bool SimReader::State::WriteToHost(const uint8_t *bytes, size_t count)
{
    size_t done = 0;
    auto stalledSince = Clock::now();
    while (done < count) {
        ssize_t n = write(master, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            readerBytes += static_cast<uint64_t>(n);
            stalledSince = Clock::now();
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        if (Clock::now() - stalledSince > kWriteStallTimeout)
            return false;
        pollfd fds[2] = {{master, POLLOUT, 0}, {wakePipe[0], POLLIN, 0}};
        if (poll(fds, 2, 50) < 0 && errno != EINTR)
            return false;
        if (fds[1].revents & POLLIN)
            return false; // stopping
    }
    return true;
}

// Sends a response frame, with whatever damage the faults ask for.  Repeats
// of the frame pass through here too and so count as response frames.  The
// bytes ahead (an acknowledge) go out in the same write as the frame's start.
void SimReader::State::SendResponseFrame(const Bytes &frame, const Bytes &ahead)
{
    Bytes wire = frame;
    bool trailing = false;
    bool lateAck = false;
    unsigned pieces = 1;
    std::chrono::milliseconds pieceDelay{0};
    std::optional<uint32_t> newSpeed;
    {
        std::lock_guard<std::mutex> guard(mutex);
        if (faults.damageResponses > 0) {
            faults.damageResponses--;
            wire[wire.size() - 2] ^= 0xFF;
        }
        if (faults.trailingBytes > 0) {
            faults.trailingBytes--;
            trailing = true;
        }
        if (faults.lateAcks > 0) {
            faults.lateAcks--;
            lateAck = true;
        }
        if (faults.splitResponses > 0) {
            faults.splitResponses--;
            pieces = std::max(1u, std::min<unsigned>(faults.splitPieces, wire.size()));
            pieceDelay = faults.splitDelay;
        }
        if (faults.truncateResponses > 0) {
            faults.truncateResponses--;
            wire.resize(wire.size() / 2);
        }
        newSpeed = speedAfterResponse;
        speedAfterResponse.reset();
    }
    if (!ahead.empty())
        AddLog(Direction::ReaderToHost, ahead, Clock::now());
    AddLog(Direction::ReaderToHost, wire, Clock::now());
    if (trailing) {
        AddLog(Direction::ReaderToHost, Bytes{kTrailingByte}, Clock::now());
        wire.push_back(kTrailingByte);
    }
    if (lateAck) {
        // With the frame it passes the start, end and XOR checks as a whole.
        const Bytes damagedAck = {kFrameStart, kAckOk, 0x01, kFrameEnd};
        AddLog(Direction::ReaderToHost, damagedAck, Clock::now());
        wire.insert(wire.end(), damagedAck.begin(), damagedAck.end());
    }
    size_t pieceSize = (wire.size() + pieces - 1) / pieces;
    for (size_t offset = 0; offset < wire.size(); offset += pieceSize) {
        if (offset > 0 && !Pause(pieceDelay))
            return;
        size_t size = std::min(pieceSize, wire.size() - offset);
        Bytes piece = offset == 0 ? ahead : Bytes();
        piece.insert(piece.end(), wire.begin() + offset, wire.begin() + offset + size);
        if (!SendToHost(piece))
            break;
    }
    if (newSpeed) {
        // The reader moves to the new speed once its confirmation is out.
        std::lock_guard<std::mutex> guard(mutex);
        speed = *newSpeed;
    }
}

void SimReader::State::DrawRandomFault()
{
    const RandomFaults &mode = *randomFaults;
    if (random() % 100 >= mode.percent)
        return;
    randomInjected++;
    switch (random() % 12) {
    case 0: faults.dropAcks++; break;
    case 1: faults.refuseAcks++; break;
    case 2: faults.damageAckChecksum++; break;
    case 3: faults.damageResponses++; break;
    case 4: faults.trailingBytes++; break;
    case 5: faults.silentAfterAck++; break;
    case 6: faults.ignoreRepeats++; break;
    case 7: faults.truncateResponses++; break;
    case 8: // short pauses: the frame still arrives whole
        faults.splitResponses++;
        faults.splitPieces = 2 + static_cast<unsigned>(random() % 3);
        faults.splitDelay = std::chrono::milliseconds(random() % 20);
        break;
    case 9:
        faults.splitResponses++;
        faults.splitPieces = 2;
        faults.splitDelay = mode.longPause;
        break;
    case 10: faults.lateAcks++; break;
    default: {
        int lost = 1 + static_cast<int>(random() % std::max(1u, mode.maxLostAcks));
        faults.dropAcks += lost;
        randomInjected += static_cast<size_t>(lost - 1);
        break;
    }
    }
}

void SimReader::State::FlushStray(Clock::time_point when)
{
    if (stray.empty())
        return;
    AddLog(Direction::HostToReader, stray, when);
    stray.clear();
}

// Takes bytes the host sent at the reader's speed and cuts frames out of them.
void SimReader::State::Deliver(const uint8_t *bytes, size_t count, Clock::time_point when)
{
    // Paced, byte i of this piece has arrived (i + 1) byte times after the
    // line was free to carry it; a frame is acted on once its last byte is in.
    uint32_t bitsPerSecond = PacedSpeed();
    size_t pieceBegin = rx.size();
    Clock::time_point pieceStart = std::max(when, rxLineFree);
    if (bitsPerSecond != 0)
        rxLineFree = pieceStart + LineTime(count, bitsPerSecond);
    rx.insert(rx.end(), bytes, bytes + count);
    lastRx = when;
    size_t pos = 0;
    while (pos < rx.size()) {
        if (rx[pos] != kFrameStart) {
            stray.push_back(rx[pos++]);
            continue;
        }
        size_t available = rx.size() - pos;
        if (available < 1 + kHeaderSize)
            break;
        uint32_t length = ReadLe32(&rx[pos + 2]);
        if (length > kMaxFrameData) {
            stray.push_back(rx[pos++]);
            continue;
        }
        size_t total = length + kHeaderSize + kFrameOverhead;
        if (available < total)
            break;
        Clock::time_point arrived = when;
        if (bitsPerSecond != 0) {
            size_t end = std::max(pos + total, pieceBegin + 1);
            arrived = pieceStart + LineTime(end - pieceBegin, bitsPerSecond);
            if (!WaitUntil(arrived))
                break;
        }
        FlushStray(arrived);
        Bytes frame(rx.begin() + pos, rx.begin() + pos + total);
        pos += total;
        HandleFrame(frame, arrived);
        if (stopping)
            break;
    }
    rx.erase(rx.begin(), rx.begin() + std::min(pos, rx.size()));
    FlushStray(when);
}

void SimReader::State::HandleFrame(const Bytes &frame, Clock::time_point when)
{
    AddLog(Direction::HostToReader, frame, when);
    std::chrono::milliseconds readerDelay;
    {
        std::lock_guard<std::mutex> guard(mutex);
        readerDelay = config.readerDelay;
    }
    if (readerDelay.count() > 0 && !WaitUntil(when + readerDelay))
        return;
    const uint8_t *message = frame.data() + 1;
    size_t messageSize = frame.size() - kFrameOverhead;
    if (frame.back() != kFrameEnd || frame[frame.size() - 2] != Checksum(message, messageSize)) {
        SendToHost(Frame(Bytes{kAckRefused}));
        AddLog(Direction::ReaderToHost, Frame(Bytes{kAckRefused}), Clock::now());
        return;
    }
    bool repeat = messageSize == kHeaderSize &&
                  std::all_of(message, message + messageSize, [](uint8_t b) { return b == 0; });
    if (repeat)
        HandleRepeatRequest();
    else
        HandleCommand(Bytes(message, message + messageSize));
}

void SimReader::State::HandleRepeatRequest()
{
    Bytes frame;
    {
        std::lock_guard<std::mutex> guard(mutex);
        repeatRequests++;
        if (faults.ignoreRepeats > 0) {
            faults.ignoreRepeats--;
            return;
        }
        frame = lastResponseFrame;
    }
    if (!frame.empty())
        SendResponseFrame(frame);
}

void SimReader::State::HandleCommand(const Bytes &message)
{
    Answer answer;
    std::chrono::milliseconds delay{0};
    bool withhold = false;
    {
        std::unique_lock<std::mutex> lock(mutex);
        commands.push_back(message);
        apduAnswered = false;
        if (randomFaults)
            DrawRandomFault();
        if (faults.dropAcks > 0) {
            faults.dropAcks--;
            return;
        }
        if (faults.refuseAcks > 0) {
            faults.refuseAcks--;
            answer.ack = Frame(Bytes{kAckRefused});
        } else if (faults.damageAckChecksum > 0) {
            faults.damageAckChecksum--;
            answer.ack = Bytes{kFrameStart, kAckOk, 0x01, kFrameEnd};
        } else {
            answer.ack = Frame(Bytes{kAckOk});
            bool setSpeed = message[0] == PC_TO_RDR_ESCAPE && message.size() == kHeaderSize + 2 &&
                            message[kHeaderSize] == ESC_SET_SPEED &&
                            message[kHeaderSize + 1] < std::size(kSpeedTable);
            if (setSpeed && ignoreSpeedChange)
                return;
            uint8_t type = message[0];
            uint8_t slotNumber = message[5];
            uint8_t seq = message[6];
            answer.respond = true;
            if (slotNumber >= ModelSlots(config.model)) {
                uint8_t responseType = RDR_TO_PC_SLOT_STATUS;
                if (type == PC_TO_RDR_ICC_POWER_ON || type == PC_TO_RDR_XFR_BLOCK)
                    responseType = RDR_TO_PC_DATA_BLOCK;
                else if (type == PC_TO_RDR_SET_PARAMETERS)
                    responseType = RDR_TO_PC_PARAMETERS;
                else if (type == PC_TO_RDR_ESCAPE)
                    responseType = RDR_TO_PC_ESCAPE;
                answer.response = Response(responseType, slotNumber, seq, CMD_FAILED | ICC_ABSENT,
                                           ERR_BAD_SLOT, 0);
            } else {
                Slot &slot = slots[slotNumber];
                switch (type) {
                case PC_TO_RDR_ICC_POWER_ON:
                    answer.response = PowerOn(message, slot);
                    break;
                case PC_TO_RDR_ICC_POWER_OFF:
                    answer.response = PowerOff(message, slot);
                    break;
                case PC_TO_RDR_GET_SLOT_STATUS:
                    answer.response = SlotStatus(message, slot);
                    break;
                case PC_TO_RDR_SET_PARAMETERS:
                    answer.response = SetParameters(message, slot);
                    break;
                case PC_TO_RDR_XFR_BLOCK:
                    answer.response = XfrBlock(message, slotNumber, lock);
                    break;
                case PC_TO_RDR_ESCAPE:
                    answer.response = Escape(message, answer, lock);
                    break;
                default:
                    answer.response = Response(RDR_TO_PC_SLOT_STATUS, slotNumber, seq,
                                               CMD_FAILED | CardStatus(slot), ERR_CMD_NOT_SUPPORTED, 0);
                    break;
                }
            }
            if (faults.silentAfterAck > 0) {
                faults.silentAfterAck--;
                withhold = true;
            }
            delay = config.responseDelay;
            if (apduAnswered)
                delay += config.cardDelay;
        }
    }

    if (!answer.respond || withhold || delay.count() > 0) {
        SendToHost(answer.ack);
        AddLog(Direction::ReaderToHost, answer.ack, Clock::now());
    }
    if (!answer.respond)
        return;
    Bytes frame = Frame(answer.response);
    {
        std::lock_guard<std::mutex> guard(mutex);
        lastResponseFrame = frame;
        speedAfterResponse = answer.newSpeed;
    }
    if (withhold || !Pause(delay))
        return;
    // Without a pause the acknowledge and the response leave in one write, so
    // the host finds the response's first bytes right behind the acknowledge.
    SendResponseFrame(frame, delay.count() > 0 ? Bytes() : answer.ack);
}

Bytes SimReader::State::PowerOn(const Bytes &m, Slot &slot)
{
    slot.commandChain = false;
    slot.pendingResponse.clear();
    if (!slot.card)
        return Response(RDR_TO_PC_DATA_BLOCK, m[5], m[6], CMD_FAILED | ICC_ABSENT, ERR_ICC_MUTE, 0);
    if (slot.card->mute) {
        slot.powered = false;
        return Response(RDR_TO_PC_DATA_BLOCK, m[5], m[6], CMD_FAILED | ICC_INACTIVE, ERR_ICC_MUTE, 0);
    }
    slot.powered = true;
    return Response(RDR_TO_PC_DATA_BLOCK, m[5], m[6], CMD_PROCESSED | ICC_ACTIVE, 0, CHAIN_WHOLE,
                    slot.card->atr);
}

Bytes SimReader::State::PowerOff(const Bytes &m, Slot &slot)
{
    slot.powered = false;
    slot.commandChain = false;
    slot.chainedCommand.clear();
    slot.pendingResponse.clear();
    return Response(RDR_TO_PC_SLOT_STATUS, m[5], m[6], CMD_PROCESSED | CardStatus(slot), 0, 0);
}

Bytes SimReader::State::SlotStatus(const Bytes &m, Slot &slot)
{
    return Response(RDR_TO_PC_SLOT_STATUS, m[5], m[6], CMD_PROCESSED | CardStatus(slot), 0, 0);
}

Bytes SimReader::State::SetParameters(const Bytes &m, Slot &slot)
{
    uint8_t protocol = m[7];
    if (slot.bounce && slot.powered) {
        // Pulled out and back while the parameters were on their way.
        slot.bounce = false;
        slot.powered = false;
        return Response(RDR_TO_PC_PARAMETERS, m[5], m[6], CMD_FAILED | ICC_ABSENT, ERR_ICC_MUTE, protocol);
    }
    if (!slot.card)
        return Response(RDR_TO_PC_PARAMETERS, m[5], m[6], CMD_FAILED | ICC_ABSENT, ERR_ICC_MUTE, protocol);
    slot.lastParameters.assign(m.begin() + 7, m.end());
    if (slot.refuseParameters != 0) {
        if (slot.refuseParameters > 0)
            slot.refuseParameters--;
        return Response(RDR_TO_PC_PARAMETERS, m[5], m[6], CMD_FAILED | CardStatus(slot),
                        ERR_BAD_PARAMETERS, protocol);
    }
    return Response(RDR_TO_PC_PARAMETERS, m[5], m[6], CMD_PROCESSED | CardStatus(slot), 0, protocol,
                    Bytes(m.begin() + kHeaderSize, m.end()));
}

// The first (or only) block of a response, keeping the rest for 0x0010
// requests when it does not fit one block.
Bytes SimReader::State::NextResponseBlock(const Bytes &m, Slot &slot, Bytes data)
{
    size_t block = config.maxResponseBlock;
    if (block == 0 || data.size() <= block) {
        slot.pendingResponse.clear();
        return Response(RDR_TO_PC_DATA_BLOCK, m[5], m[6], CMD_PROCESSED | ICC_ACTIVE, 0, CHAIN_WHOLE, data);
    }
    Bytes first(data.begin(), data.begin() + block);
    slot.pendingResponse = std::move(data);
    slot.pendingOffset = block;
    return Response(RDR_TO_PC_DATA_BLOCK, m[5], m[6], CMD_PROCESSED | ICC_ACTIVE, 0, CHAIN_BEGIN, first);
}

Bytes SimReader::State::XfrBlock(const Bytes &m, unsigned slotNumber, std::unique_lock<std::mutex> &lock)
{
    Slot *slot = &slots[slotNumber];
    auto failed = [&](uint8_t error) {
        slot->commandChain = false;
        slot->chainedCommand.clear();
        slot->pendingResponse.clear();
        return Response(RDR_TO_PC_DATA_BLOCK, m[5], m[6], CMD_FAILED | CardStatus(*slot), error, 0);
    };
    if (!slot->card || !slot->powered)
        return failed(ERR_ICC_MUTE);
    uint16_t level = static_cast<uint16_t>(m[8] | m[9] << 8);
    if (slot->bounce && (level == LEVEL_WHOLE || level == LEVEL_BEGIN)) {
        // Pulled out while the APDU was on its way, and back at once: the
        // reader finds no card, and then an unpowered one.
        slot->bounce = false;
        slot->powered = false;
        slot->commandChain = false;
        slot->chainedCommand.clear();
        slot->pendingResponse.clear();
        return Response(RDR_TO_PC_DATA_BLOCK, m[5], m[6], CMD_FAILED | ICC_ABSENT, ERR_ICC_MUTE, 0);
    }
    Bytes data(m.begin() + kHeaderSize, m.end());
    switch (level) {
    case LEVEL_WHOLE:
        slot->commandChain = false;
        slot->chainedCommand.clear();
        break;
    case LEVEL_BEGIN:
        slot->pendingResponse.clear();
        slot->commandChain = true;
        slot->chainedCommand = std::move(data);
        return Response(RDR_TO_PC_DATA_BLOCK, m[5], m[6], CMD_PROCESSED | ICC_ACTIVE, 0, CHAIN_MORE_COMMAND);
    case LEVEL_MIDDLE:
    case LEVEL_END:
        if (!slot->commandChain || slot->chainedCommand.size() + data.size() > kMaxChainedCommand)
            return failed(ERR_BAD_LEVEL_PARAMETER);
        slot->chainedCommand.insert(slot->chainedCommand.end(), data.begin(), data.end());
        if (level == LEVEL_MIDDLE)
            return Response(RDR_TO_PC_DATA_BLOCK, m[5], m[6], CMD_PROCESSED | ICC_ACTIVE, 0,
                            CHAIN_MORE_COMMAND);
        data = std::move(slot->chainedCommand);
        slot->chainedCommand.clear();
        slot->commandChain = false;
        break;
    case LEVEL_NEXT_RESPONSE: {
        if (slot->pendingResponse.empty())
            return failed(ERR_BAD_LEVEL_PARAMETER);
        size_t left = slot->pendingResponse.size() - slot->pendingOffset;
        // A block size changed to 0 meanwhile sends the rest at once.
        size_t size = config.maxResponseBlock == 0 ? left : std::min(left, config.maxResponseBlock);
        auto from = slot->pendingResponse.begin() + slot->pendingOffset;
        Bytes part(from, from + size);
        slot->pendingOffset += size;
        uint8_t chain = CHAIN_MIDDLE;
        if (slot->pendingOffset >= slot->pendingResponse.size()) {
            chain = CHAIN_END;
            slot->pendingResponse.clear();
        }
        return Response(RDR_TO_PC_DATA_BLOCK, m[5], m[6], CMD_PROCESSED | ICC_ACTIVE, 0, chain, part);
    }
    default:
        return failed(ERR_BAD_LEVEL_PARAMETER);
    }

    // The whole command APDU is there: the card answers it.
    apduAnswered = true;
    ApduHandler handler = slot->card->handler;
    Bytes answer;
    if (handler) {
        lock.unlock();
        answer = handler(data);
        lock.lock();
        slot = &slots[slotNumber];
    } else {
        answer = {0x90, 0x00};
    }
    if (!slot->card || !slot->powered)
        return failed(ERR_ICC_MUTE); // the card went away meanwhile
    return NextResponseBlock(m, *slot, std::move(answer));
}

Bytes SimReader::State::Escape(const Bytes &m, Answer &answer, std::unique_lock<std::mutex> &lock)
{
    uint8_t slotNumber = m[5];
    Bytes command(m.begin() + kHeaderSize, m.end());
    auto reply = [&](const Bytes &data) {
        return Response(RDR_TO_PC_ESCAPE, m[5], m[6], CMD_PROCESSED | CardStatus(slots[slotNumber]), 0, 0,
                        data);
    };
    if (command.size() == sizeof kFirmwareQuery &&
        std::equal(command.begin(), command.end(), kFirmwareQuery))
        return reply(config.firmwareReply ? *config.firmwareReply : FirmwareReply(config.model));
    if (command.size() == 2 && command[0] == ESC_SET_SPEED && command[1] < std::size(kSpeedTable)) {
        if (speedChangeReply)
            return reply(*speedChangeReply);
        if (config.maxSpeed > 0 && kSpeedTable[command[1]] > config.maxSpeed)
            return reply(kSpeedRefused);
        answer.newSpeed = kSpeedTable[command[1]];
        return reply(Bytes{ESC_SPEED_SET, command[1]});
    }
    EscapeHandler handler = escapeHandler;
    if (!handler)
        return reply(command);
    lock.unlock();
    std::optional<Bytes> result = handler(slotNumber, command);
    lock.lock();
    if (!result)
        return Response(RDR_TO_PC_ESCAPE, m[5], m[6], CMD_FAILED | CardStatus(slots[slotNumber]),
                        escapeFailureError, 0);
    return reply(*result);
}

void SimReader::State::ReadFromHost()
{
    uint8_t buffer[4096];
    ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0)
        return; // EAGAIN, or EIO while no host has the port open
    hostBytes += static_cast<uint64_t>(n);
    Clock::time_point when = Clock::now();
    termios host{};
    uint32_t hostSpeed = 0;
    if (tcgetattr(master, &host) == 0) {
        // An input speed of 0 means "the same as the output speed".
        speed_t in = cfgetispeed(&host);
        hostSpeed = BitsPerSecond(in == B0 ? cfgetospeed(&host) : in);
    }
    uint32_t readerSpeed;
    {
        std::lock_guard<std::mutex> guard(mutex);
        readerSpeed = speed;
    }
    if (hostSpeed != readerSpeed) {
        // At the wrong speed the reader sees only noise; whatever frame was
        // being assembled is spoiled as well.
        stray.insert(stray.end(), rx.begin(), rx.end());
        rx.clear();
        stray.insert(stray.end(), buffer, buffer + n);
        FlushStray(when);
        return;
    }
    Deliver(buffer, static_cast<size_t>(n), when);
}

void SimReader::State::Run()
{
    // Paced writes and delays wait for absolute times; the default 50 us of
    // timer slack would make every one of them late by that much.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    for (;;) {
        if (stopping)
            return;
        int timeout = -1;
        if (!rx.empty()) {
            auto waited = Clock::now() - lastRx;
            if (waited >= kPartialFrameTimeout) {
                stray.insert(stray.end(), rx.begin(), rx.end());
                rx.clear();
                FlushStray(Clock::now());
                continue;
            }
            timeout = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(kPartialFrameTimeout - waited).count() + 1);
        }
        pollfd fds[2] = {{master, POLLIN, 0}, {wakePipe[0], POLLIN, 0}};
        int ready = poll(fds, 2, timeout);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents & POLLIN)
            return;
        if (fds[0].revents & POLLIN)
            ReadFromHost();
        else if (fds[0].revents & (POLLHUP | POLLERR))
            Pause(std::chrono::milliseconds(10)); // no host on the line; wait for one
    }
}

void SimReader::State::CloseAll()
{
    for (int *fd : {&master, &slave, &wakePipe[0], &wakePipe[1]}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

SimReader::SimReader(const Config &config) : state_(std::make_unique<State>(config)) {}

SimReader::~SimReader()
{
    Stop();
}

bool SimReader::Start(std::string *error)
{
    State &s = *state_;
    auto fail = [&](const char *what) {
        if (error)
            *error = std::string(what) + ": " + std::strerror(errno);
        s.CloseAll();
        return false;
    };
    if (s.running) {
        if (error)
            *error = "already running";
        return false;
    }
    s.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (s.master < 0)
        return fail("posix_openpt");
    if (grantpt(s.master) != 0)
        return fail("grantpt");
    if (unlockpt(s.master) != 0)
        return fail("unlockpt");
    char name[256];
    if (ptsname_r(s.master, name, sizeof name) != 0)
        return fail("ptsname");
    s.portPath = name;
    // Keeping a slave descriptor of our own means the master never sees a
    // hangup between host opens, and the line settings persist across them.
    s.slave = open(name, O_RDWR | O_NOCTTY);
    if (s.slave < 0)
        return fail("open slave");
    termios raw{};
    if (tcgetattr(s.slave, &raw) != 0)
        return fail("tcgetattr");
    cfmakeraw(&raw);
    raw.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&raw, B9600);
    cfsetospeed(&raw, B9600);
    if (tcsetattr(s.slave, TCSANOW, &raw) != 0)
        return fail("tcsetattr");
    if (fcntl(s.master, F_SETFL, fcntl(s.master, F_GETFL) | O_NONBLOCK) != 0)
        return fail("fcntl");
    if (pipe(s.wakePipe) != 0)
        return fail("pipe");
    {
        std::lock_guard<std::mutex> guard(s.mutex);
        s.stopping = false;
    }
    s.rx.clear();
    s.stray.clear();
    s.running = true;
    s.thread = std::thread([&s] { s.Run(); });
    return true;
}

void SimReader::Stop()
{
    State &s = *state_;
    if (!s.running)
        return;
    {
        std::lock_guard<std::mutex> guard(s.mutex);
        s.stopping = true;
    }
    s.wake.notify_all();
    uint8_t byte = 1;
    ssize_t ignored = write(s.wakePipe[1], &byte, 1);
    (void)ignored;
    s.thread.join();
    s.running = false;
    s.CloseAll();
}

const std::string &SimReader::PortPath() const
{
    return state_->portPath;
}

void SimReader::SetModel(Model model)
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->config.model = model;
}

void SimReader::SetFirmwareReply(const Bytes &reply)
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->config.firmwareReply = reply;
}

void SimReader::SetSpeed(uint32_t bitsPerSecond)
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->speed = bitsPerSecond;
}

uint32_t SimReader::Speed() const
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->speed;
}

void SimReader::SetMaxResponseBlock(size_t bytes)
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->config.maxResponseBlock = bytes;
}

void SimReader::SetResponseDelay(std::chrono::milliseconds delay)
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->config.responseDelay = delay;
}

void SimReader::SetPacing(bool pace)
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->config.pace = pace;
}

void SimReader::SetReaderDelay(std::chrono::milliseconds delay)
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->config.readerDelay = delay;
}

void SimReader::SetCardDelay(std::chrono::milliseconds delay)
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->config.cardDelay = delay;
}

void SimReader::SetEscapeHandler(EscapeHandler handler)
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->escapeHandler = std::move(handler);
}

void SimReader::SetEscapeFailureError(uint8_t error)
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->escapeFailureError = error;
}

void SimReader::SetSpeedChangeReply(std::optional<Bytes> reply)
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->speedChangeReply = std::move(reply);
}

void SimReader::SetIgnoreSpeedChange(bool ignore)
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->ignoreSpeedChange = ignore;
}

void SimReader::InsertCard(unsigned slot, const Card &card)
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    if (slot >= kMaxSlots)
        return;
    State::Slot fresh;
    fresh.card = card;
    fresh.refuseParameters = state_->slots[slot].refuseParameters;
    fresh.lastParameters = state_->slots[slot].lastParameters;
    state_->slots[slot] = std::move(fresh);
}

void SimReader::BounceCard(unsigned slot)
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    if (slot < kMaxSlots && state_->slots[slot].card)
        state_->slots[slot].bounce = true;
}

void SimReader::RemoveCard(unsigned slot)
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    if (slot >= kMaxSlots)
        return;
    State::Slot fresh;
    fresh.refuseParameters = state_->slots[slot].refuseParameters;
    fresh.lastParameters = state_->slots[slot].lastParameters;
    state_->slots[slot] = std::move(fresh);
}

LineCounts SimReader::Counts() const
{
    return LineCounts{state_->hostBytes.load(), state_->readerBytes.load()};
}

bool SimReader::CardPresent(unsigned slot) const
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    return slot < kMaxSlots && state_->slots[slot].card;
}

bool SimReader::CardPowered(unsigned slot) const
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    return slot < kMaxSlots && state_->slots[slot].card && state_->slots[slot].powered;
}

void SimReader::RefuseSetParameters(unsigned slot, int n)
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    if (slot < kMaxSlots)
        state_->slots[slot].refuseParameters = n;
}

Bytes SimReader::LastParameters(unsigned slot) const
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    return slot < kMaxSlots ? state_->slots[slot].lastParameters : Bytes();
}

void SimReader::InjectFaults(const Faults &faults)
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    Faults &f = state_->faults;
    f.dropAcks += faults.dropAcks;
    f.refuseAcks += faults.refuseAcks;
    f.damageAckChecksum += faults.damageAckChecksum;
    f.damageResponses += faults.damageResponses;
    f.trailingBytes += faults.trailingBytes;
    f.lateAcks += faults.lateAcks;
    f.silentAfterAck += faults.silentAfterAck;
    f.ignoreRepeats += faults.ignoreRepeats;
    f.splitResponses += faults.splitResponses;
    f.truncateResponses += faults.truncateResponses;
    f.splitPieces = faults.splitPieces;
    f.splitDelay = faults.splitDelay;
}

void SimReader::ClearFaults()
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->faults = Faults();
    state_->randomFaults.reset();
}

void SimReader::SetRandomFaults(std::optional<RandomFaults> random)
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->randomFaults = random;
    if (random)
        state_->random.seed(random->seed);
}

size_t SimReader::RandomFaultsInjected() const
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->randomInjected;
}

std::vector<LogEntry> SimReader::Log() const
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->log;
}

std::vector<Bytes> SimReader::Commands() const
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->commands;
}

size_t SimReader::RepeatRequests() const
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->repeatRequests;
}

void SimReader::ClearLog()
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->log.clear();
    state_->commands.clear();
    state_->repeatRequests = 0;
}

} // namespace kytsim
