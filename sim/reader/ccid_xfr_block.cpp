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
    return ResponseMessage(command, RDR_TO_PC_DATA_BLOCK, CMD_FAILED | slot.CardStatus(), error, 0);
}

Bytes SimReader::State::XfrBlock(const CommandHeader &command, Bytes data, std::unique_lock<std::mutex> &lock)
{
    Slot &slot = slots[command.slot];
    if (!slot.card || !slot.powered)
        return FailedBlock(command, slot, ERR_ICC_MUTE);
    auto moreCommand = [&] {
        return ResponseMessage(command, RDR_TO_PC_DATA_BLOCK, CMD_PROCESSED | ICC_ACTIVE, 0, CHAIN_MORE_COMMAND);
    };
    uint16_t level = LevelParameter(command);
    if (slot.bounce && (level == LEVEL_WHOLE || level == LEVEL_BEGIN)) {
        // Pulled out while the APDU was on its way, and back at once: the
        // reader finds no card, and then an unpowered one.
        slot.bounce = false;
        slot.powered = false;
        slot.DropChains();
        return ResponseMessage(command, RDR_TO_PC_DATA_BLOCK, CMD_FAILED | ICC_ABSENT, ERR_ICC_MUTE, 0);
    }
    switch (level) {
    case LEVEL_WHOLE:
        slot.commandChain = false;
        slot.chainedCommand.clear();
        break;
    case LEVEL_BEGIN:
        slot.pendingResponse.clear();
        slot.commandChain = true;
        slot.chainedCommand = std::move(data);
        return moreCommand();
    case LEVEL_MIDDLE:
    case LEVEL_END:
        if (!slot.commandChain || slot.chainedCommand.size() + data.size() > kMaxChainedCommand)
            return FailedBlock(command, slot, ERR_BAD_LEVEL_PARAMETER);
        slot.chainedCommand.insert(slot.chainedCommand.end(), data.begin(), data.end());
        if (level == LEVEL_MIDDLE)
            return moreCommand();
        data = std::move(slot.chainedCommand);
        slot.chainedCommand.clear();
        slot.commandChain = false;
        break;
    case LEVEL_NEXT_RESPONSE:
        return NextResponseBlock(command, slot);
    default:
        return FailedBlock(command, slot, ERR_BAD_LEVEL_PARAMETER);
    }
    return ApduToCard(command, data, lock);
}

// The whole command APDU is there: the card answers it, with the reader's
// lock released while its handler or device works (and while the recorder
// takes the exchange down).  A device that does not answer makes the card
// mute, and so does a card muted while powered.  A delay asked for the next
// APDU is used up here, by a card that answers.
Bytes SimReader::State::ApduToCard(const CommandHeader &command, const Bytes &apdu,
                                   std::unique_lock<std::mutex> &lock)
{
    Slot &before = slots[command.slot];
    if (before.card->mute) { // muted while powered: no answer from now on
        before.powered = false;
        return FailedBlock(command, before, ERR_ICC_MUTE);
    }
    apduAnswered = true;
    apduDelay = before.nextApduDelay;
    before.nextApduDelay = std::chrono::milliseconds(0);
    const Card &card = *before.card;
    std::shared_ptr<CardDevice> device = card.device;
    ApduHandler handler = card.handler;
    std::optional<Bytes> answer = StatusWord(SW_OK);
    if (device || handler) {
        lock.unlock();
        answer = device ? device->Transmit(apdu) : handler(apdu);
        lock.lock();
    }
    Slot &slot = slots[command.slot];
    if (!slot.card || !slot.powered)
        return FailedBlock(command, slot, ERR_ICC_MUTE); // the card went away meanwhile
    if (!answer) {
        slot.powered = false;
        return FailedBlock(command, slot, ERR_ICC_MUTE);
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
        return ResponseMessage(command, RDR_TO_PC_DATA_BLOCK, CMD_PROCESSED | ICC_ACTIVE, 0, CHAIN_WHOLE, data);
    }
    Bytes first(data.begin(), data.begin() + block);
    slot.pendingResponse = std::move(data);
    slot.pendingOffset = block;
    return ResponseMessage(command, RDR_TO_PC_DATA_BLOCK, CMD_PROCESSED | ICC_ACTIVE, 0, CHAIN_BEGIN, first);
}

Bytes SimReader::State::NextResponseBlock(const CommandHeader &command, Slot &slot)
{
    if (slot.pendingResponse.empty())
        return FailedBlock(command, slot, ERR_BAD_LEVEL_PARAMETER);
    size_t left = slot.pendingResponse.size() - slot.pendingOffset;
    // A block size changed to 0 meanwhile sends the rest at once.
    size_t size = config.maxResponseBlock == 0 ? left : std::min(left, config.maxResponseBlock);
    auto from = slot.pendingResponse.begin() + slot.pendingOffset;
    Bytes part(from, from + size);
    slot.pendingOffset += size;
    uint8_t chain = CHAIN_MIDDLE;
    if (slot.pendingOffset >= slot.pendingResponse.size()) {
        chain = CHAIN_END;
        slot.pendingResponse.clear();
    }
    return ResponseMessage(command, RDR_TO_PC_DATA_BLOCK, CMD_PROCESSED | ICC_ACTIVE, 0, chain, part);
}

} // namespace kytsim
