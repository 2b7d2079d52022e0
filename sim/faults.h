// Fault injection: the faults waiting for the next exchanges, drawn at random
// or asked for one by one, and what they do to the bytes on the line.
#ifndef KYT_SIM_FAULTS_H
#define KYT_SIM_FAULTS_H

#include <chrono>
#include <cstddef>
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
};

// An acknowledge with a wrong checksum (02 00 01 03).
Bytes DamagedAck();

// What one response frame suffers on its way to the host.
struct ResponseDamage {
    bool checksum = false;  // checksum byte inverted
    bool truncate = false;  // only the first half is sent
    bool trailing = false;  // one stray byte follows in the same write
    bool lateAck = false;   // a damaged acknowledge follows in the same write,
                            // as when the reader answers a repeated command late
    unsigned pieces = 1;    // written in this many parts...
    std::chrono::milliseconds pieceDelay{0}; // ...with this pause between them

    // The bytes that go on the wire instead of `frame`, in the pieces the
    // frame log records: the frame as sent, then a stray byte or a late
    // acknowledge when there is one.
    std::vector<Bytes> Apply(const Bytes &frame) const;
};

// The faults waiting for the next occasions of their kind.  Not thread-safe:
// the reader's mutex guards it.
class FaultPlan {
public:
    void Add(const Faults &faults);
    void Clear(); // also ends random faults
    void SetRandom(std::optional<RandomFaults> random);
    size_t RandomInjected() const { return randomInjected_; }

    // Before each command frame: in random mode, perhaps one more fault.
    void DrawForCommand();
    AckFault TakeAckFault();
    bool TakeWithheldResponse(); // acknowledged and processed, answered only on a repeat request
    bool TakeIgnoredRepeat();
    ResponseDamage TakeResponseDamage(size_t frameSize);

private:
    Faults pending_;
    std::optional<RandomFaults> random_;
    std::mt19937 generator_;
    size_t randomInjected_ = 0;
};

} // namespace kytsim

#endif
