// Fault injection: the faults waiting for the next exchanges, drawn at random
// or asked for one by one, and what they do to the bytes on the line.
#ifndef KYT_SIM_FAULTS_H
#define KYT_SIM_FAULTS_H

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "sim_reader.h"

namespace kytsim {

// What becomes of the acknowledge of one command frame.
enum class AckFault {
    None,            // 02 00 00 03, and the command is processed
    Lost,            // no acknowledge and no answer at all
    Refused,         // 02 01 01 03, command not processed
    DamagedChecksum, // 02 00 01 03, command not processed
    LostAfterRun,    // the command is processed, then acknowledge and response are lost
};

// An acknowledge with a wrong checksum (02 00 01 03).
Bytes DamagedAck();

// What one response frame suffers on its way to the host.
struct ResponseDamage {
    bool checksum = false;                   // checksum byte inverted
    bool truncate = false;                   // only the first half is sent
    bool trailing = false;                   // one stray byte follows in the same write
    bool lateAck = false;                    // a damaged acknowledge follows in the same write,
                                             // as when the reader answers a repeated command late
    unsigned pieces = 1;                     // written in this many parts...
    std::chrono::milliseconds pieceDelay{0}; // ...with this pause between them

    // The bytes that go on the wire instead of `frame`, in the pieces the
    // frame log records: the frame as sent, then a stray byte or a late
    // acknowledge when there is one.
    std::vector<Bytes> Apply(const Bytes &frame) const;
};

// The faults waiting for the next occasions of their kind, the rates at
// which each kind strikes, and how often each has struck.  Not thread-safe:
// the reader's mutex guards it.
class FaultPlan {
public:
    explicit FaultPlan(uint32_t seed) : generator_(seed) {}

    void Add(const Faults &faults);
    // The next `count` occasions of a kind; a split is made of three pieces
    // with `splitPause` between them.
    void Inject(FaultKind kind, unsigned count, std::chrono::milliseconds splitPause);
    void SetRate(FaultKind kind, uint32_t partsPerMillion);
    FaultTally Tally(FaultKind kind) const;
    void Clear(); // also ends random faults and the rates; the tallies stay
    void SetRandom(std::optional<RandomFaults> random);
    size_t RandomInjected() const { return randomInjected_; }

    // Before each command frame: in random mode, perhaps one more fault.
    void DrawForCommand();
    AckFault TakeAckFault();
    bool TakeWithheldResponse(); // acknowledged and processed, answered only on a repeat request
    bool TakeIgnoredRepeat();
    ResponseDamage TakeResponseDamage(size_t frameSize, std::chrono::milliseconds splitPause);

private:
    // Whether this occasion of the kind is struck: a fault asked for one by
    // one comes first, then the kind's rate is drawn.
    bool Strike(FaultKind kind);

    Faults pending_;
    std::optional<RandomFaults> random_;
    std::mt19937 generator_;
    size_t randomInjected_ = 0;
    std::array<uint32_t, kFaultKinds> rates_{};
    std::array<uint64_t, kFaultKinds> injected_{};
};

} // namespace kytsim

#endif
