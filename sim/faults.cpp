// Fault injection, one by one (Faults) or at random (RandomFaults).
#include "faults.h"

#include <algorithm>

#include "protocol.h"

namespace kytsim {

namespace {

constexpr uint8_t kTrailingByte = 0x00; // line noise after a frame

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
    Bytes ack = AckFrame(ACK_OK);
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

void FaultPlan::Clear()
{
    pending_ = Faults();
    random_.reset();
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
    case 0: f.dropAcks++; break;
    case 1: f.refuseAcks++; break;
    case 2: f.damageAckChecksum++; break;
    case 3: f.damageResponses++; break;
    case 4: f.trailingBytes++; break;
    case 5: f.silentAfterAck++; break;
    case 6: f.ignoreRepeats++; break;
    case 7: f.truncateResponses++; break;
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
    case 10: f.lateAcks++; break;
    default: { // a whole exchange's acknowledges lost
        int lost = 1 + static_cast<int>(generator_() % std::max(1u, random_->maxLostAcks));
        f.dropAcks += lost;
        randomInjected_ += static_cast<size_t>(lost - 1);
        break;
    }
    }
}

AckFault FaultPlan::TakeAckFault()
{
    if (Take(pending_.dropAcks))
        return AckFault::Lost;
    if (Take(pending_.refuseAcks))
        return AckFault::Refused;
    if (Take(pending_.damageAckChecksum))
        return AckFault::DamagedChecksum;
    return AckFault::None;
}

bool FaultPlan::TakeWithheldResponse()
{
    return Take(pending_.silentAfterAck);
}

bool FaultPlan::TakeIgnoredRepeat()
{
    return Take(pending_.ignoreRepeats);
}

ResponseDamage FaultPlan::TakeResponseDamage(size_t frameSize)
{
    ResponseDamage damage;
    damage.checksum = Take(pending_.damageResponses);
    damage.trailing = Take(pending_.trailingBytes);
    damage.lateAck = Take(pending_.lateAcks);
    if (Take(pending_.splitResponses)) {
        damage.pieces = static_cast<unsigned>(std::max<size_t>(1, std::min<size_t>(pending_.splitPieces, frameSize)));
        damage.pieceDelay = pending_.splitDelay;
    }
    damage.truncate = Take(pending_.truncateResponses);
    return damage;
}

} // namespace kytsim
