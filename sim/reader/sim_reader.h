// A simulated KYT reader on a pseudo-terminal.
//
// The simulator opens a pty pair and plays the reader at the master end; the
// library under test opens the slave path as an ordinary serial port.  It
// speaks the serial frame link (acknowledge, response, repeat request) and the
// CCID bulk messages the library sends, keeps per-slot cards, injects faults
// on demand and records every frame both ways with timestamps.
//
// All public methods are thread-safe and may be called while the simulator
// runs.
#ifndef KYT_SIM_SIM_READER_H
#define KYT_SIM_SIM_READER_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fault_kinds.h"
#include "sim_types.h"

namespace kytsim {

// The three reader models the library knows, plus "anything else".
enum class Model { KYT7710P, KYT7710P_V3, KYT4460P };

// Model string and slot count of a model.
const char *ModelString(Model model);
unsigned ModelSlots(Model model);

// Firmware-version escape reply for a model: five header bytes, then the
// model string and a version text; at most 35 bytes.
Bytes FirmwareReply(Model model);
// The same five header bytes (the fifth the text's length) and a text of
// the caller's choice, cut to 255 bytes, for Config::firmwareReply.  libkyt
// offers 35 bytes for the reply while it detects the reader: a text of more
// than 30 bytes makes KYT_OpenA fail (EIO, the reply fitting at no speed),
// so set a longer one once the reader is open.
Bytes FirmwareReplyForText(const std::string &text);

// Answers one command APDU with a response APDU (data and SW1 SW2).
using ApduHandler = std::function<Bytes(const Bytes &apdu)>;

// A card whose answers come from elsewhere, such as a card emulator behind
// a socket.  The reader asks it for its ATR at each power-on and passes it
// every whole command APDU; it does so with its own lock released, as an
// answer may take a while.  Each call must return within a bounded time.
class CardDevice {
public:
    virtual ~CardDevice() = default;
    // Powers the card on (or resets it): its ATR, or nullopt when it does
    // not answer.
    virtual std::optional<Bytes> PowerOn() = 0;
    virtual void PowerOff() = 0;
    // The response APDU, or nullopt when the card does not answer.
    virtual std::optional<Bytes> Transmit(const Bytes &apdu) = 0;
};

struct Card {
    Bytes atr;
    bool mute = false;   // present, but never answers (bError 0xFE, card status 1)
    ApduHandler handler; // null: every APDU answered 90 00
    // Called at every power-on: the card forgets what it was doing (its
    // selected file, pending response data).  May be null.
    std::function<void()> reset;
    // When set, the ATR and the answers come from the device; atr and
    // handler are not used.
    std::shared_ptr<CardDevice> device;
};

// Told what passes between the reader and its cards, as it happens: the
// card's ATR at each power-on that it answers, and each whole command APDU
// (after command chaining) with the card's whole response (before response
// chaining).  A card that does not answer is not told about.  The reader's
// thread calls it with the reader's lock released.
class CardRecorder {
public:
    virtual ~CardRecorder() = default;
    virtual void PoweredOn(unsigned slot, const Bytes &atr) = 0;
    virtual void Exchanged(unsigned slot, const Bytes &command, const Bytes &response) = 0;
};

// Answer to a vendor escape command other than the firmware query and the
// set-speed command.  std::nullopt: the reader reports the command failed.
using EscapeHandler = std::function<std::optional<Bytes>(uint8_t slot, const Bytes &command)>;

enum class Direction { HostToReader, ReaderToHost };

struct LogEntry {
    Direction direction;
    Clock::time_point time;
    Bytes bytes; // one whole frame as on the wire (or stray bytes that formed no frame)
};

// Faults for the next N occasions each; counts add up over calls.
struct Faults {
    int dropAcks = 0;          // command frames that get no acknowledge and no answer at all
    int refuseAcks = 0;        // command frames acknowledged with status 0x01 (02 01 01 03) and not processed
    int damageAckChecksum = 0; // acknowledges sent with a wrong checksum (02 00 01 03), command not processed
    int damageResponses = 0;   // response frames sent with a wrong checksum
    int trailingBytes = 0;     // response frames followed by one stray byte in the same write
    int lateAcks = 0;          // response frames followed in the same write by a damaged acknowledge,
                               // as when the reader answers a repeated command late
    int silentAfterAck = 0;    // commands acknowledged, processed, but their response is withheld
                               // until a repeat request asks for it
    int ignoreRepeats = 0;     // repeat requests that get no answer
    int splitResponses = 0;    // response frames sent in pieces...
    unsigned splitPieces = 3;  // ...of this many parts...
    std::chrono::milliseconds splitDelay{50}; // ...with this pause between them
    int truncateResponses = 0;                // response frames of which only the first half is sent
    int lostAfterRun = 0;                     // command frames processed, then their acknowledge and response lost
};

// Every fault the reader injects, one kind for each field of Faults: the
// list and what each kind does are in fault_kinds.h.
enum class FaultKind {
#define KYT_SIM_FAULT_KIND_ENUM(kind, count, name, effect) kind,
    KYT_SIM_FAULT_KINDS(KYT_SIM_FAULT_KIND_ENUM)
#undef KYT_SIM_FAULT_KIND_ENUM
};
#define KYT_SIM_FAULT_KIND_LISTED(kind, count, name, effect) FaultKind::kind,
constexpr FaultKind kAllFaultKinds[] = {KYT_SIM_FAULT_KINDS(KYT_SIM_FAULT_KIND_LISTED)};
#undef KYT_SIM_FAULT_KIND_LISTED
constexpr unsigned kFaultKinds = sizeof kAllFaultKinds / sizeof kAllFaultKinds[0];

// One kind of fault as it stands: its rate, the occasions asked for one by
// one that are still to come, and how often it has struck so far.
struct FaultTally {
    uint32_t rate = 0; // parts per million of its occasions
    uint64_t pending = 0;
    uint64_t injected = 0; // every source counted: rates, one by one, random mode
};

// What a reader does with a command frame that repeats, byte for byte (so
// with the same bSlot and bSeq), the command it has just run: the host sent
// it again because the acknowledge was lost on the line.
enum class Resend {
    Run,    // runs it again: a command APDU reaches the card a second time
    Replay, // acknowledges it and sends the previous response again, without the card
};

// Receives every frame the log records, on the reader's thread, in order.
using LogSink = std::function<void(const LogEntry &entry)>;

// Random faults: before each command frame the reader draws, from its own
// generator seeded with `seed`, whether to disturb this exchange (with
// probability percent/100) and how: one of the single faults above, a whole
// exchange's acknowledges lost, or a response split by a pause of `longPause`
// (longer than the host waits, so it reads as a truncated frame followed
// by stray bytes).
struct RandomFaults {
    uint32_t seed = 1;
    unsigned percent = 30;
    unsigned maxLostAcks = 3;
    std::chrono::milliseconds longPause{200};
};

struct Config {
    Model model = Model::KYT7710P_V3;
    std::optional<Bytes> firmwareReply;         // overrides FirmwareReply(model)
    uint32_t speed = 9600;                      // the reader's own line speed
    size_t maxResponseBlock = 0;                // > 0: longer responses are sent in chained blocks of this size
    std::chrono::milliseconds responseDelay{0}; // pause between acknowledge and response
    // Line pacing: every byte takes 10 bit-times of the current line speed in
    // each direction.  A command frame counts as arrived only when its last
    // byte's time has come; the reader's bytes reach the host at the line
    // rate, in pieces of at most 16 bytes, each written once its last byte
    // has crossed the line.
    bool pace = false;
    // > 0: set-speed commands asking for more than this are refused with
    // the reply 6A 80, and the reader keeps its speed.
    uint32_t maxSpeed = 0;
    std::chrono::milliseconds readerDelay{0}; // after a frame has arrived, before the reader answers it
    std::chrono::milliseconds cardDelay{0};   // the card's work per command APDU, before its response
    Resend resend = Resend::Run;
    // The generator behind the fault rates (and the random mode until it
    // is given its own seed): the same seed and the same traffic give the
    // same faults.
    uint32_t faultSeed = 1;
    // The pause between the three pieces of a response split by a fault
    // rate or by InjectFault().
    std::chrono::milliseconds splitPause{50};
    // > 0: the reader's bytes reach the host as through a USB-serial adapter
    // with this latency timer: once 62 bytes wait, or this long after the
    // first of them (usb_adapter.h).
    std::chrono::milliseconds adapterLatency{0};
};

// Bytes that crossed the line since the simulator started.
struct LineCounts {
    uint64_t fromHost;
    uint64_t fromReader;
};

class SimReader {
public:
    explicit SimReader(const Config &config = Config());
    ~SimReader(); // stops the simulator
    SimReader(const SimReader &) = delete;
    SimReader &operator=(const SimReader &) = delete;

    // Opens the pty pair and starts the reader's thread.  False (with a reason
    // in *error when given) if the pty cannot be created.
    bool Start(std::string *error = nullptr);
    void Stop();
    const std::string &PortPath() const; // the slave path to open

    // Reader configuration.
    void SetModel(Model model);
    // The whole reply data to the firmware query (FirmwareReplyForText()
    // builds one), and the model's own again.
    void SetFirmwareReply(const Bytes &reply);
    void UseModelFirmware();
    void SetSpeed(uint32_t bitsPerSecond);
    uint32_t Speed() const;
    void SetMaxResponseBlock(size_t bytes);
    void SetResponseDelay(std::chrono::milliseconds delay);
    void SetPacing(bool pace);
    void SetReaderDelay(std::chrono::milliseconds delay);
    void SetCardDelay(std::chrono::milliseconds delay);
    void SetEscapeHandler(EscapeHandler handler);
    // bError of the failed reply when the escape handler refuses a command
    // (default 0x00, command not supported; 0xFE reports the card mute).
    void SetEscapeFailureError(uint8_t error);
    // Reply data to the set-speed command 44 n instead of 90 n; the reader then
    // keeps its speed.  std::nullopt restores the normal behaviour.
    void SetSpeedChangeReply(std::optional<Bytes> reply);
    // Set-speed commands get no answer at all (no acknowledge either).
    void SetIgnoreSpeedChange(bool ignore);
    // The configuration as it stands (Speed() gives the line speed now).
    Config CurrentConfig() const;

    // Cards.
    void InsertCard(unsigned slot, const Card &card);
    void RemoveCard(unsigned slot);
    // Pulls out the slot's card if its device is `device`, once the command
    // the reader is answering (if any) has been answered: a device that broke
    // during a command makes that command fail as the device answered (mute),
    // and the slot is empty from the next command on.  Another card in the
    // slot stays.  Never to be called from a card's device or handler.
    void RemoveDeviceCard(unsigned slot, const CardDevice &device);
    // The card is pulled and put back during the next command APDU (or
    // SetParameters) to the slot: that command fails as if the slot were
    // empty, and the card is there again, unpowered, right after.
    void BounceCard(unsigned slot);
    bool CardPresent(unsigned slot) const;
    bool CardPowered(unsigned slot) const;
    // SetParameters on this slot: refuse the first n (negative: all) with a
    // failed command status; 0 accepts all.
    void RefuseSetParameters(unsigned slot, int n);
    // Parameter bytes (message offsets 7 onward) of the last accepted or
    // refused SetParameters on the slot.
    Bytes LastParameters(unsigned slot) const;
    // From now on the recorder is told of power-ons and APDUs (nullptr: no
    // more).
    void SetRecorder(std::shared_ptr<CardRecorder> recorder);
    // The fastest transmission factors (bmFindexDindex: Fi index high
    // nibble, Di index low) that the card in the slot manages: SetParameters
    // asking for a shorter elementary time unit, or for reserved indices,
    // fail with bError 10 (bmFindexDindex).  nullopt: every pair is taken.
    void SetCardFactors(unsigned slot, std::optional<uint8_t> fastest);
    // A muted card stays in its slot but no longer answers: a power-on finds
    // it mute, and a powered one drops to mute at its next command APDU.
    void SetCardMute(unsigned slot, bool mute);
    bool CardMute(unsigned slot) const;

    // The card in the slot takes `delay` longer over its next command APDU
    // (after command chaining), on top of Config::cardDelay: the acknowledge
    // goes out at once, the response that long after it.  Once: the APDU
    // after it is answered as usual.  A new delay replaces one still to
    // come, 0 cancels it; it waits for a card that answers, and stays when
    // the card is changed.  Meanwhile the reader listens: a repeat request
    // gets nothing (the card has not answered yet), and a new command frame
    // (the host has given up waiting) drops the response unsent and is
    // answered at once.
    void DelayNextApdu(unsigned slot, std::chrono::milliseconds delay);
    // The delay still to come on the slot's next APDU; 0 for none.
    std::chrono::milliseconds NextApduDelay(unsigned slot) const;

    // The whole reader goes silent, as one switched off or whose cable is
    // out while the port stays: for `duration`, after which it answers again
    // by itself, or until Speak() (std::nullopt, or a year or more).  While
    // silent it reads and drops every byte the host sends: no acknowledge, no
    // response, repeat requests ignored, and an answer it was about to send
    // when the silence began is never sent, not even after it (a repeat
    // request then gets nothing).  Its cards and its line speed stay as they
    // are.  Silence() while silent sets the new
    // end.
    void Silence(std::optional<std::chrono::milliseconds> duration = std::nullopt);
    void Speak();
    // While silent: when it ends (Clock::time_point::max(): at Speak());
    // std::nullopt while the reader answers.
    std::optional<Clock::time_point> SilentUntil() const;

    // Faults.
    void InjectFaults(const Faults &faults);
    void ClearFaults(); // also ends random faults
    // Starts drawing random faults (std::nullopt stops, leaving pending ones).
    void SetRandomFaults(std::optional<RandomFaults> random);
    // Faults added by the random mode so far.
    size_t RandomFaultsInjected() const;
    // Each occasion of the kind is struck with a probability of
    // partsPerMillion / 1 000 000 (0 turns the rate off), drawn from the
    // generator seeded by Config::faultSeed.
    void SetFaultRate(FaultKind kind, uint32_t partsPerMillion);
    // The next `count` occasions of the kind are struck.
    void InjectFault(FaultKind kind, unsigned count = 1);
    FaultTally Tally(FaultKind kind) const;
    // Command frames that repeated the command just run (Config::resend
    // says what became of them).
    size_t Resends() const;

    // What happened on the line lately: the last 8192 frames and commands at
    // most (and the last 8 MiB of each), oldest first.
    std::vector<LogEntry> Log() const;
    // The CCID messages received in command frames (without framing), in order.
    std::vector<Bytes> Commands() const;
    size_t RepeatRequests() const;
    LineCounts Counts() const;
    void ClearLog();
    // The log keeps the last frames and commands only (frame_log.h); a sink
    // sees every frame as it is recorded.  Null removes the sink.
    void SetLogSink(LogSink sink);

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace kytsim

#endif
