// XfrBlock: command APDUs to the card and its responses back, with command
// chaining (wLevelParameter 0001, 0003, 0002) and response chaining
// (bChainParameter 01, 03, 02, each continuation asked for by 0010).
#include <algorithm>

#include "reader_state.h"

namespace kytsim {

// A failed data block; the half-done chains of the slot are forgotten.
Bytes SimReader::State::FailedBlock(const CommandHeader &command, Slot &slot, uint8_t error)
{
    slot.DropChains();
    return ResponseMessage(command, kRdrToPcDataBlock, kCmdFailed | slot.CardStatus(), error, 0);
}

Bytes SimReader::State::XfrBlock(const CommandHeader &command, Bytes data, std::unique_lock<std::mutex> &lock)
{
    Slot &slot = slots[command.slot];
    if (!slot.card || !slot.powered)
        return FailedBlock(command, slot, kErrIccMute);
    auto moreCommand = [&] {
        return ResponseMessage(command, kRdrToPcDataBlock, kCmdProcessed | kIccActive, 0, kChainMoreCommand);
    };
    uint16_t level = LevelParameter(command);
    if (slot.bounce && (level == kLevelWhole || level == kLevelBegin)) {
        // Pulled out while the APDU was on its way, and back at once: the
        // reader finds no card, and then an unpowered one.
        slot.bounce = false;
        slot.powered = false;
        slot.DropChains();
        return ResponseMessage(command, kRdrToPcDataBlock, kCmdFailed | kIccAbsent, kErrIccMute, 0);
    }
    switch (level) {
    case kLevelWhole:
        slot.commandChain = false;
        slot.chainedCommand.clear();
        break;
    case kLevelBegin:
        slot.pendingResponse.clear();
        slot.commandChain = true;
        slot.chainedCommand = std::move(data);
        return moreCommand();
    case kLevelMiddle:
    case kLevelEnd:
        if (!slot.commandChain || slot.chainedCommand.size() + data.size() > kMaxChainedCommand)
            return FailedBlock(command, slot, kErrBadLevelParameter);
        slot.chainedCommand.insert(slot.chainedCommand.end(), data.begin(), data.end());
        if (level == kLevelMiddle)
            return moreCommand();
        data = std::move(slot.chainedCommand);
        slot.chainedCommand.clear();
        slot.commandChain = false;
        break;
    case kLevelNextResponse:
        return NextResponseBlock(command, slot);
    default:
        return FailedBlock(command, slot, kErrBadLevelParameter);
    }
    return ApduToCard(command, data, lock);
}

// The whole command APDU is there: the card answers it, with the reader's
// lock released while its handler or device works (and while the recorder
// takes the exchange down).  A device that does not answer makes the card
// mute, and so does a card muted while powered.  A delay asked for the next
// APDU is used up here, by a card that answers.
Bytes SimReader::State::ApduToCard(const CommandHeader &command, const Bytes &apdu, std::unique_lock<std::mutex> &lock)
{
    Slot &before = slots[command.slot];
    if (before.card->mute) { // muted while powered: no answer from now on
        before.powered = false;
        return FailedBlock(command, before, kErrIccMute);
    }
    apduAnswered = true;
    apduDelay = before.nextApduDelay;
    before.nextApduDelay = std::chrono::milliseconds(0);
    const Card &card = *before.card;
    std::shared_ptr<CardDevice> device = card.device;
    ApduHandler handler = card.handler;
    std::optional<Bytes> answer = StatusWord(kSwOk);
    if (device || handler) {
        lock.unlock();
        answer = device ? device->Transmit(apdu) : handler(apdu);
        lock.lock();
    }
    Slot &slot = slots[command.slot];
    if (!slot.card || !slot.powered)
        return FailedBlock(command, slot, kErrIccMute); // the card went away meanwhile
    if (!answer) {
        slot.powered = false;
        return FailedBlock(command, slot, kErrIccMute);
    }
    Bytes block = FirstResponseBlock(command, slot, *answer);
    Record(lock, [&](CardRecorder &sink) { sink.Exchanged(command.slot, apdu, *answer); });
    return block;
}

// The first (or only) block of a response, keeping the rest for 0010
// requests when it does not fit one block.
Bytes SimReader::State::FirstResponseBlock(const CommandHeader &command, Slot &slot, Bytes data)
{
    size_t block = config.maxResponseBlock;
    if (block == 0 || data.size() <= block) {
        slot.pendingResponse.clear();
        return ResponseMessage(command, kRdrToPcDataBlock, kCmdProcessed | kIccActive, 0, kChainWhole, data);
    }
    Bytes first(data.begin(), data.begin() + block);
    slot.pendingResponse = std::move(data);
    slot.pendingOffset = block;
    return ResponseMessage(command, kRdrToPcDataBlock, kCmdProcessed | kIccActive, 0, kChainBegin, first);
}

Bytes SimReader::State::NextResponseBlock(const CommandHeader &command, Slot &slot)
{
    if (slot.pendingResponse.empty())
        return FailedBlock(command, slot, kErrBadLevelParameter);
    size_t left = slot.pendingResponse.size() - slot.pendingOffset;
    // A block size changed to 0 meanwhile sends the rest at once.
    size_t size = config.maxResponseBlock == 0 ? left : std::min(left, config.maxResponseBlock);
    auto from = slot.pendingResponse.begin() + slot.pendingOffset;
    Bytes part(from, from + size);
    slot.pendingOffset += size;
    uint8_t chain = kChainMiddle;
    if (slot.pendingOffset >= slot.pendingResponse.size()) {
        chain = kChainEnd;
        slot.pendingResponse.clear();
    }
    return ResponseMessage(command, kRdrToPcDataBlock, kCmdProcessed | kIccActive, 0, chain, part);
}

} // namespace kytsim
