// SimReader, the public face of the simulated reader: configuration, cards,
// faults and the frame log, each call safe from any thread.  The reader
// itself is played by the files reader_state.h lists.
#include "sim_reader.h"

#include <algorithm>

#include "reader_state.h"

namespace kytsim {

SimReader::SimReader(const Config &config) : state_(std::make_unique<State>(config))
{
}

SimReader::~SimReader()
{
    Stop();
}

bool SimReader::Start(std::string *error)
{
    return state_->Start(error);
}

void SimReader::Stop()
{
    state_->Stop();
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

void SimReader::UseModelFirmware()
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->config.firmwareReply.reset();
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

Config SimReader::CurrentConfig() const
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->config;
}

// A card put in or pulled out: the slot starts afresh, keeping only the
// SetParameters refusals, factor limit and APDU delay asked for and the
// parameters last seen.
void SimReader::State::Slot::ChangeCard(std::optional<Card> newCard)
{
    Slot fresh;
    fresh.card = std::move(newCard);
    fresh.refuseParameters = refuseParameters;
    fresh.fastestFactors = fastestFactors;
    fresh.nextApduDelay = nextApduDelay;
    fresh.lastParameters = std::move(lastParameters);
    *this = std::move(fresh);
}

void SimReader::InsertCard(unsigned slot, const Card &card)
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    if (slot < kMaxSlots)
        state_->slots[slot].ChangeCard(card);
}

void SimReader::RemoveCard(unsigned slot)
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    if (slot < kMaxSlots)
        state_->slots[slot].ChangeCard(std::nullopt);
}

void SimReader::RemoveDeviceCard(unsigned slot, const CardDevice &device)
{
    std::unique_lock<std::mutex> lock(state_->mutex);
    state_->answered.wait(lock, [this] { return !state_->answering; });
    if (slot >= kMaxSlots)
        return;
    State::Slot &held = state_->slots[slot];
    if (held.card && held.card->device.get() == &device)
        held.ChangeCard(std::nullopt);
}

void SimReader::BounceCard(unsigned slot)
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    if (slot < kMaxSlots && state_->slots[slot].card)
        state_->slots[slot].bounce = true;
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

void SimReader::SetRecorder(std::shared_ptr<CardRecorder> recorder)
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->recorder = std::move(recorder);
}

void SimReader::SetCardFactors(unsigned slot, std::optional<uint8_t> fastest)
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    if (slot < kMaxSlots)
        state_->slots[slot].fastestFactors = fastest;
}

void SimReader::SetCardMute(unsigned slot, bool mute)
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    if (slot < kMaxSlots && state_->slots[slot].card)
        state_->slots[slot].card->mute = mute;
}

bool SimReader::CardMute(unsigned slot) const
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    return slot < kMaxSlots && state_->slots[slot].card && state_->slots[slot].card->mute;
}

void SimReader::DelayNextApdu(unsigned slot, std::chrono::milliseconds delay)
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    if (slot < kMaxSlots)
        state_->slots[slot].nextApduDelay = std::max(delay, std::chrono::milliseconds(0));
}

std::chrono::milliseconds SimReader::NextApduDelay(unsigned slot) const
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    return slot < kMaxSlots ? state_->slots[slot].nextApduDelay : std::chrono::milliseconds(0);
}

void SimReader::Silence(std::optional<std::chrono::milliseconds> duration)
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    Clock::time_point now = Clock::now();
    // A year or more is for ever, and never overflows the clock.
    if (duration && *duration < std::chrono::hours(24 * 365))
        state_->silentUntil = now + std::max(*duration, std::chrono::milliseconds(0));
    else
        state_->silentUntil = Clock::time_point::max();
    state_->silences++;
}

void SimReader::Speak()
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->silentUntil.reset();
}

std::optional<Clock::time_point> SimReader::SilentUntil() const
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    if (!state_->SilentNow())
        return std::nullopt;
    return state_->silentUntil;
}

void SimReader::InjectFaults(const Faults &faults)
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->faults.Add(faults);
}

void SimReader::ClearFaults()
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->faults.Clear();
}

void SimReader::SetRandomFaults(std::optional<RandomFaults> random)
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->faults.SetRandom(random);
}

size_t SimReader::RandomFaultsInjected() const
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->faults.RandomInjected();
}

void SimReader::SetFaultRate(FaultKind kind, uint32_t partsPerMillion)
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->faults.SetRate(kind, partsPerMillion);
}

void SimReader::InjectFault(FaultKind kind, unsigned count)
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->faults.Inject(kind, count, state_->config.splitPause);
}

FaultTally SimReader::Tally(FaultKind kind) const
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->faults.Tally(kind);
}

size_t SimReader::Resends() const
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->resends;
}

std::vector<LogEntry> SimReader::Log() const
{
    return state_->log.Entries();
}

std::vector<Bytes> SimReader::Commands() const
{
    return state_->log.Commands();
}

size_t SimReader::RepeatRequests() const
{
    return state_->log.RepeatRequests();
}

void SimReader::ClearLog()
{
    state_->log.Clear();
}

void SimReader::SetLogSink(LogSink sink)
{
    state_->log.SetSink(std::move(sink));
}

} // namespace kytsim
