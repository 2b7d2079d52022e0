// The CCID commands the reader answers, XfrBlock aside (ccid_xfr_block.cpp):
// power on and off, slot status, SetParameters and the escape commands.
#include <algorithm>
#include <iterator>

#include "factors.h"
#include "reader_state.h"

namespace kytsim {

uint8_t SimReader::State::Slot::CardStatus() const
{
    if (!card)
        return kIccAbsent;
    return powered ? kIccActive : kIccInactive;
}

void SimReader::State::Slot::DropChains()
{
    commandChain = false;
    chainedCommand.clear();
    pendingResponse.clear();
}

// The response to one command message (header layout in protocol.cpp).
Bytes SimReader::State::Dispatch(const Bytes &message, Answer &answer, std::unique_lock<std::mutex> &lock)
{
    CommandHeader command = ReadCommandHeader(message);
    if (command.slot >= ModelSlots(config.model))
        return NoSuchSlot(command);
    Slot &slot = slots[command.slot];
    Bytes data(message.begin() + kHeaderSize, message.end());
    switch (command.type) {
    case kPcToRdrIccPowerOn:
        return PowerOn(command, slot, lock);
    case kPcToRdrIccPowerOff:
        return PowerOff(command, slot, lock);
    case kPcToRdrGetSlotStatus:
        return SlotStatus(command, slot);
    case kPcToRdrSetParameters:
        return SetParameters(command, data, slot);
    case kPcToRdrXfrBlock:
        return XfrBlock(command, std::move(data), lock);
    case kPcToRdrEscape:
        return Escape(command, data, answer, lock);
    default:
        return ResponseMessage(command, kRdrToPcSlotStatus, kCmdFailed | slot.CardStatus(), kErrCmdNotSupported, 0);
    }
}

// A slot the model does not have: the response type the command expects,
// failed, with bError naming the bSlot field.
Bytes SimReader::State::NoSuchSlot(const CommandHeader &command) const
{
    uint8_t type = kRdrToPcSlotStatus;
    if (command.type == kPcToRdrIccPowerOn || command.type == kPcToRdrXfrBlock)
        type = kRdrToPcDataBlock;
    else if (command.type == kPcToRdrSetParameters)
        type = kRdrToPcParameters;
    else if (command.type == kPcToRdrEscape)
        type = kRdrToPcEscape;
    return ResponseMessage(command, type, kCmdFailed | kIccAbsent, kErrBadSlot, 0);
}

Bytes SimReader::State::PowerOn(const CommandHeader &command, Slot &slot, std::unique_lock<std::mutex> &lock)
{
    slot.DropChains();
    if (!slot.card)
        return ResponseMessage(command, kRdrToPcDataBlock, kCmdFailed | kIccAbsent, kErrIccMute, 0);
    std::optional<Bytes> atr;
    if (!slot.card->mute)
        atr = CardPowerOn(command.slot, lock);
    Slot &now = slots[command.slot];
    if (!now.card)
        return ResponseMessage(command, kRdrToPcDataBlock, kCmdFailed | kIccAbsent, kErrIccMute, 0);
    now.powered = atr.has_value();
    if (!atr)
        return ResponseMessage(command, kRdrToPcDataBlock, kCmdFailed | kIccInactive, kErrIccMute, 0);
    Bytes response = ResponseMessage(command, kRdrToPcDataBlock, kCmdProcessed | kIccActive, 0, kChainWhole, *atr);
    Record(lock, [&](CardRecorder &sink) { sink.PoweredOn(command.slot, *atr); });
    return response;
}

// The card's answer to reset: a card of its own reads it from its device
// (with the lock released), the others start afresh and give their ATR.
std::optional<Bytes> SimReader::State::CardPowerOn(uint8_t slotNumber, std::unique_lock<std::mutex> &lock)
{
    const Card &card = *slots[slotNumber].card;
    if (std::shared_ptr<CardDevice> device = card.device) {
        lock.unlock();
        std::optional<Bytes> atr = device->PowerOn();
        lock.lock();
        return atr;
    }
    if (card.reset)
        card.reset();
    return card.atr;
}

Bytes SimReader::State::PowerOff(const CommandHeader &command, Slot &slot, std::unique_lock<std::mutex> &lock)
{
    std::shared_ptr<CardDevice> device = slot.card && slot.powered ? slot.card->device : nullptr;
    slot.powered = false;
    slot.DropChains();
    if (device) {
        lock.unlock();
        device->PowerOff();
        lock.lock();
    }
    return SlotStatus(command, slots[command.slot]);
}

Bytes SimReader::State::SlotStatus(const CommandHeader &command, const Slot &slot)
{
    return ResponseMessage(command, kRdrToPcSlotStatus, kCmdProcessed | slot.CardStatus(), 0, 0);
}

// PC_to_RDR_SetParameters: header byte 7 is bProtocolNum (0 for T=0, 1 for
// T=1), bytes 8 and 9 are zero, and the data is the protocol's parameters:
//
//   T=0, dwLength 5
//     0                1           2              3                   4
//   +----------------+-----------+--------------+-------------------+------------+
//   | bmFindexDindex | bmTCCKST0 | bGuardTimeT0 | bWaitingIntegerT0 | bClockStop |
//   +----------------+-----------+--------------+-------------------+------------+
//
//   T=1, dwLength 7
//     0                1           2              3                     4            5       6
//   +----------------+-----------+--------------+---------------------+------------+-------+-----------+
//   | bmFindexDindex | bmTCCKST1 | bGuardTimeT1 | bmWaitingIntegersT1 | bClockStop | bIFSC | bNadValue |
//   +----------------+-----------+--------------+---------------------+------------+-------+-----------+
//
//   bmFindexDindex: the Fi index in the high nibble, the Di index in the low one.
//
// The reader records bytes 7 onward as they came, and when it accepts them
// echoes the data in RDR_to_PC_Parameters with bProtocolNum in byte 9.  A
// slot whose card manages only slower factors refuses a faster
// bmFindexDindex, as a reader does whose PPS exchange with the card failed,
// with bError 10 pointing at that field.
Bytes SimReader::State::SetParameters(const CommandHeader &command, const Bytes &data, Slot &slot)
{
    uint8_t protocol = command.specific[0];
    auto failed = [&](uint8_t status, uint8_t error) {
        return ResponseMessage(command, kRdrToPcParameters, kCmdFailed | status, error, protocol);
    };
    if (slot.bounce && slot.powered) {
        // Pulled out and back while the parameters were on their way.
        slot.bounce = false;
        slot.powered = false;
        return failed(kIccAbsent, kErrIccMute);
    }
    if (!slot.card)
        return failed(kIccAbsent, kErrIccMute);
    slot.lastParameters.assign(std::begin(command.specific), std::end(command.specific));
    slot.lastParameters.insert(slot.lastParameters.end(), data.begin(), data.end());
    if (slot.fastestFactors && (data.empty() || !FactorsWithin(data[0], *slot.fastestFactors)))
        return failed(slot.CardStatus(), kErrBadParameters);
    if (slot.refuseParameters != 0) {
        if (slot.refuseParameters > 0)
            slot.refuseParameters--;
        return failed(slot.CardStatus(), kErrBadParameters);
    }
    return ResponseMessage(command, kRdrToPcParameters, kCmdProcessed | slot.CardStatus(), 0, protocol, data);
}

// The vendor escape commands: the firmware query, the set-speed command and
// whatever the escape handler answers (without one, the command is echoed).
Bytes SimReader::State::Escape(const CommandHeader &command, const Bytes &data, Answer &answer,
                               std::unique_lock<std::mutex> &lock)
{
    auto reply = [&](const Bytes &replyData) {
        return ResponseMessage(command, kRdrToPcEscape, kCmdProcessed | slots[command.slot].CardStatus(), 0, 0,
                               replyData);
    };
    if (std::equal(data.begin(), data.end(), std::begin(kEscFirmwareQuery), std::end(kEscFirmwareQuery)))
        return reply(config.firmwareReply ? *config.firmwareReply : FirmwareReply(config.model));
    if (std::optional<uint8_t> entry = SetSpeedEntry(data)) {
        if (speedChangeReply)
            return reply(*speedChangeReply);
        if (config.maxSpeed > 0 && kSpeedTable[*entry] > config.maxSpeed)
            return reply(StatusWord(kSwWrongData));
        answer.newSpeed = kSpeedTable[*entry];
        return reply(Bytes{kEscSpeedSet, *entry});
    }
    EscapeHandler handler = escapeHandler;
    if (!handler)
        return reply(data);
    lock.unlock();
    std::optional<Bytes> result = handler(command.slot, data);
    lock.lock();
    if (!result)
        return ResponseMessage(command, kRdrToPcEscape, kCmdFailed | slots[command.slot].CardStatus(),
                               escapeFailureError, 0);
    return reply(*result);
}

} // namespace kytsim
