// Fault injection, one by one (Faults) or at random (RandomFaults).
#include "faults.h"

#include <algorithm>

#include "protocol.h"

namespace kytsim {

namespace {

constexpr uint8_t kTrailingByte = 0x00;  // line noise after a frame
constexpr uint32_t kRateScale = 1000000; // rates are parts per million
constexpr unsigned kSplitPieces = 3;     // a split asked for by kind

// The count in Faults of each FaultKind, in the order of the kinds.
constexpr int Faults::*kPendingCount[kFaultKinds] = {
#define KYT_SIM_FAULT_COUNT(kind, count, name, effect) &Faults::count,
    KYT_SIM_FAULT_KINDS(KYT_SIM_FAULT_COUNT)
#undef KYT_SIM_FAULT_COUNT
};

size_t IndexOf(FaultKind kind)
{
    return static_cast<size_t>(kind);
}

// Spends one fault of a count, if there is one left.
bool Take(int &count)
{
    if (count <= 0)
        return false;
    count--;
    return true;
}

} // namespace

Bytes DamagedAck()
{
    Bytes ack = AckFrame(kAckOk);
    ack[ack.size() - kChecksumFromEnd] ^= 0x01;
    return ack;
}

std::vector<Bytes> ResponseDamage::Apply(const Bytes &frame) const
{
    Bytes sent = frame;
    if (checksum)
        sent[sent.size() - kChecksumFromEnd] ^= 0xFF;
    if (truncate)
        sent.resize(sent.size() / 2);
    std::vector<Bytes> parts{std::move(sent)};
    if (trailing)
        parts.push_back(Bytes{kTrailingByte});
    if (lateAck) // with the frame it passes the start, end and XOR checks as a whole
        parts.push_back(DamagedAck());
    return parts;
}

void FaultPlan::Add(const Faults &faults)
{
    Faults &f = pending_;
#define KYT_SIM_FAULT_ADD(kind, count, name, effect) f.count += faults.count;
    KYT_SIM_FAULT_KINDS(KYT_SIM_FAULT_ADD)
#undef KYT_SIM_FAULT_ADD
    f.splitPieces = faults.splitPieces;
    f.splitDelay = faults.splitDelay;
}

void FaultPlan::Inject(FaultKind kind, unsigned count, std::chrono::milliseconds splitPause)
{
    int &pending = pending_.*kPendingCount[IndexOf(kind)];
    pending = static_cast<int>(std::min<int64_t>(int64_t{pending} + count, INT32_MAX));
    if (kind == FaultKind::ResponseSplit) {
        pending_.splitPieces = kSplitPieces;
        pending_.splitDelay = splitPause;
    }
}

void FaultPlan::SetRate(FaultKind kind, uint32_t partsPerMillion)
{
    rates_[IndexOf(kind)] = std::min(partsPerMillion, kRateScale);
}

FaultTally FaultPlan::Tally(FaultKind kind) const
{
    size_t index = IndexOf(kind);
    int pending = pending_.*kPendingCount[index];
    return FaultTally{rates_[index], static_cast<uint64_t>(std::max(pending, 0)), injected_[index]};
}

bool FaultPlan::Strike(FaultKind kind)
{
    size_t index = IndexOf(kind);
    bool struck =
        Take(pending_.*kPendingCount[index]) || (rates_[index] != 0 && generator_() % kRateScale < rates_[index]);
    if (struck)
        injected_[index]++;
    return struck;
}

void FaultPlan::Clear()
{
    pending_ = Faults();
    random_.reset();
    rates_.fill(0);
}

void FaultPlan::SetRandom(std::optional<RandomFaults> random)
{
    random_ = random;
    if (random)
        generator_.seed(random->seed);
}

// One draw of the random mode: whether to disturb this exchange and how.
void FaultPlan::DrawForCommand()
{
    if (!random_ || generator_() % 100 >= random_->percent)
        return;
    Faults &f = pending_;
    randomInjected_++;
    switch (generator_() % 12) {
    case 0:
        f.dropAcks++;
        break;
    case 1:
        f.refuseAcks++;
        break;
    case 2:
        f.damageAckChecksum++;
        break;
    case 3:
        f.damageResponses++;
        break;
    case 4:
        f.trailingBytes++;
        break;
    case 5:
        f.silentAfterAck++;
        break;
    case 6:
        f.ignoreRepeats++;
        break;
    case 7:
        f.truncateResponses++;
        break;
    case 8: // short pauses: the frame still arrives whole
        f.splitResponses++;
        f.splitPieces = 2 + static_cast<unsigned>(generator_() % 3);
        f.splitDelay = std::chrono::milliseconds(generator_() % 20);
        break;
    case 9: // a pause longer than the host waits: a truncated frame, then stray bytes
        f.splitResponses++;
        f.splitPieces = 2;
        f.splitDelay = random_->longPause;
        break;
    case 10:
        f.lateAcks++;
        break;
    default: { // a whole exchange's acknowledges lost
        int lost = 1 + static_cast<int>(generator_() % std::max(1u, random_->maxLostAcks));
        f.dropAcks += lost;
        randomInjected_ += static_cast<size_t>(lost - 1);
        break;
    }
    }
}

// One acknowledge fault at most: the first kind struck wins.
AckFault FaultPlan::TakeAckFault()
{
    if (Strike(FaultKind::AckLost))
        return AckFault::Lost;
    if (Strike(FaultKind::AckRefused))
        return AckFault::Refused;
    if (Strike(FaultKind::AckDamaged))
        return AckFault::DamagedChecksum;
    if (Strike(FaultKind::AckLostAfterRun))
        return AckFault::LostAfterRun;
    return AckFault::None;
}

bool FaultPlan::TakeWithheldResponse()
{
    return Strike(FaultKind::ResponseWithheld);
}

bool FaultPlan::TakeIgnoredRepeat()
{
    return Strike(FaultKind::RepeatIgnored);
}

// A split asked for one by one keeps the shape it was asked with; one drawn
// by the rate gets three pieces and the reader's split pause.
ResponseDamage FaultPlan::TakeResponseDamage(size_t frameSize, std::chrono::milliseconds splitPause)
{
    ResponseDamage damage;
    damage.checksum = Strike(FaultKind::ResponseDamaged);
    damage.trailing = Strike(FaultKind::ResponsePadded);
    damage.lateAck = Strike(FaultKind::AckLate);
    bool asked = pending_.splitResponses > 0;
    if (Strike(FaultKind::ResponseSplit)) {
        unsigned pieces = asked ? pending_.splitPieces : kSplitPieces;
        damage.pieces = static_cast<unsigned>(std::max<size_t>(1, std::min<size_t>(pieces, frameSize)));
        damage.pieceDelay = asked ? pending_.splitDelay : splitPause;
    }
    damage.truncate = Strike(FaultKind::ResponseTruncated);
    return damage;
}

} // namespace kytsim
