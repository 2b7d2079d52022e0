// The simulated reader's inner state, shared by the files that play its parts
// (private to the simulator):
//
//   line.cpp            the pty and the line: reading, writing, line speed, pacing
//   usb_adapter.cpp     a USB-serial adapter's latency timer on the way to the host
//   frame_link.cpp      frames, acknowledges and repeat requests
//   resend.cpp          commands run, and commands sent again (run or replay)
//   ccid_commands.cpp   the CCID commands, XfrBlock aside
//   ccid_xfr_block.cpp  APDUs to the card, command and response chaining
//   factors.cpp         the transmission factors a card manages (Fi, Di)
//   faults.cpp          the faults waiting for the next exchanges (FaultPlan)
//   frame_log.cpp       what crossed the line lately (FrameLog, a ring)
//   protocol.cpp        the frames and CCID messages built and parsed (protocol.h)
//   models.cpp          the reader models and their firmware replies
//   sim_reader.cpp      the public SimReader
//
// One mutex guards the configuration, the slots, the faults and the
// recorder (which it calls with the mutex released); the reader's
// thread alone uses the reassembly and pacing fields.
#ifndef KYT_SIM_READER_STATE_H
#define KYT_SIM_READER_STATE_H

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "faults.h"
#include "frame_log.h"
#include "protocol.h"
#include "sim_reader.h"
#include "usb_adapter.h"

namespace kytsim {

// Time that `bytes` bytes take on the line at `bitsPerSecond` (line.cpp).
Clock::duration LineTime(size_t bytes, uint32_t bitsPerSecond);

struct SimReader::State {
    // What the reader knows about one card slot.
    struct Slot {
        std::optional<Card> card;
        bool powered = false;
        bool bounce = false;                   // the next APDU finds the card pulled and put back
        int refuseParameters = 0;              // negative: refuse all
        std::optional<uint8_t> fastestFactors; // bmFindexDindex the card manages at most
        Bytes lastParameters;
        bool commandChain = false; // blocks of a command APDU are arriving
        Bytes chainedCommand;
        Bytes pendingResponse; // rest of a chained response
        size_t pendingOffset = 0;
        std::chrono::milliseconds nextApduDelay{0}; // the card's extra work on its next APDU, once

        uint8_t CardStatus() const;
        void DropChains(); // forgets a half-received command and a half-sent response
        void ChangeCard(std::optional<Card> newCard);
    };

    // What the reader does with one command frame.
    struct Answer {
        Bytes ack;                          // empty: no acknowledge, no response
        bool respond = false;               // a response follows the acknowledge
        Bytes response;                     // CCID message
        std::optional<uint32_t> newSpeed;   // applied once the response is written
        bool withhold = false;              // the response waits for a repeat request
        std::chrono::milliseconds delay{0}; // between acknowledge and response
    };

    explicit State(const Config &c)
        : config(c), speed(c.speed), slots(kMaxSlots), faults(c.faultSeed), adapter(c.adapterLatency)
    {
    }

    mutable std::mutex mutex;
    std::condition_variable wake; // Stop() interrupts pauses through it
    // A command is being answered (its card or escape handler may be at work
    // with the mutex released); `answered` tells when it no longer is.
    bool answering = false;
    std::condition_variable answered;
    Config config;
    uint32_t speed;
    EscapeHandler escapeHandler;
    uint8_t escapeFailureError = kErrCmdNotSupported;
    std::optional<Bytes> speedChangeReply;
    bool ignoreSpeedChange = false;
    std::vector<Slot> slots; // kMaxSlots, never resized: references stay valid
    FaultPlan faults;
    FrameLog log;
    std::shared_ptr<CardRecorder> recorder;
    Bytes lastResponseFrame; // good copy, for repeat requests
    Bytes lastRunCommand;    // the last command processed, and its response,
    Bytes lastRunResponse;   // for recognising a command sent again
    size_t resends = 0;      // command frames that repeated lastRunCommand
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

    // Silence of the whole reader: until when (time_point::max(): until
    // Speak()), and how many silences have begun, so that an answer begun
    // before one is never sent after it.
    std::optional<Clock::time_point> silentUntil;
    uint64_t silences = 0;
    bool SilentNow() const; // with the mutex held

    // A response that waits for its time, the card still at work (thread
    // only).  Meanwhile the reader listens: repeat requests get nothing (there
    // is no new response to repeat yet), and a new command frame means the
    // host has given up on this one, which is then dropped.
    struct DelayedResponse {
        Bytes frame;
        std::optional<uint32_t> newSpeed;
        Clock::time_point due;
        uint64_t silences; // the count when its command arrived
    };
    std::optional<DelayedResponse> delayed;

    // Reassembly (thread only).
    Bytes rx;
    Bytes stray;
    Clock::time_point lastRx;
    // Pacing (thread only): when each direction of the line is free again.
    Clock::time_point rxLineFree;
    Clock::time_point txLineFree;
    bool apduAnswered = false;              // the card answered a command APDU in this frame
    std::chrono::milliseconds apduDelay{0}; // and took this much longer than usual over it
    UsbAdapter adapter;                     // holds the reader's bytes back, when active (thread only)

    // line.cpp
    bool Start(std::string *error);
    void Stop();
    bool OpenPty(std::string *error);
    void CloseAll();
    void Run();
    void ReadFromHost();
    bool SendToHost(const Bytes &bytes);
    bool WriteToHost(const uint8_t *bytes, size_t count);
    bool PassOn(const uint8_t *bytes, size_t count); // through the adapter, when there is one
    void FlushAdapter();                             // what the adapter's timer has released
    bool WaitUntil(Clock::time_point deadline);
    bool Pause(std::chrono::milliseconds delay);
    uint32_t PacedSpeed(); // the line speed when pacing is on, else 0

    // frame_link.cpp
    void Deliver(const uint8_t *bytes, size_t count, Clock::time_point when);
    void FlushStray(Clock::time_point when);
    void HandleFrame(const Bytes &frame, Clock::time_point when);
    void HandleRepeatRequest();
    void HandleCommand(const Bytes &message);
    void SendDelayedResponse();          // once its time has come
    bool Heard(uint64_t silencesBefore); // no silence has begun since; else the last response is forgotten
    Answer AnswerCommand(const Bytes &message);
    // resend.cpp
    void RunCommand(const Bytes &message, Answer &answer, std::unique_lock<std::mutex> &lock);
    void LoseAfterRun(const Answer &answer);
    void SendResponseFrame(const Bytes &frame, const Bytes &ahead = {});

    // ccid_commands.cpp and ccid_xfr_block.cpp: called with the mutex held;
    // where a card or escape handler has to run they release it meanwhile.
    Bytes Dispatch(const Bytes &message, Answer &answer, std::unique_lock<std::mutex> &lock);
    Bytes NoSuchSlot(const CommandHeader &command) const;
    Bytes PowerOn(const CommandHeader &command, Slot &slot, std::unique_lock<std::mutex> &lock);
    std::optional<Bytes> CardPowerOn(uint8_t slotNumber, std::unique_lock<std::mutex> &lock);
    Bytes PowerOff(const CommandHeader &command, Slot &slot, std::unique_lock<std::mutex> &lock);
    Bytes SlotStatus(const CommandHeader &command, const Slot &slot);
    Bytes SetParameters(const CommandHeader &command, const Bytes &data, Slot &slot);
    Bytes Escape(const CommandHeader &command, const Bytes &data, Answer &answer, std::unique_lock<std::mutex> &lock);
    Bytes XfrBlock(const CommandHeader &command, Bytes data, std::unique_lock<std::mutex> &lock);
    Bytes ApduToCard(const CommandHeader &command, const Bytes &apdu, std::unique_lock<std::mutex> &lock);
    Bytes FirstResponseBlock(const CommandHeader &command, Slot &slot, Bytes data);
    Bytes NextResponseBlock(const CommandHeader &command, Slot &slot);
    static Bytes FailedBlock(const CommandHeader &command, Slot &slot, uint8_t error);

    // Tells the recorder, when there is one, with the lock released meanwhile
    // (called with the mutex held, by ccid_commands.cpp and ccid_xfr_block.cpp).
    template <typename Tell>
    void Record(std::unique_lock<std::mutex> &lock, Tell tell)
    {
        std::shared_ptr<CardRecorder> listener = recorder;
        if (!listener)
            return;
        lock.unlock();
        tell(*listener);
        lock.lock();
    }
};

} // namespace kytsim

#endif
