// The frame link: cutting frames out of what the host sends, acknowledging
// command frames, answering repeat requests and sending response frames,
// with the faults that disturb each step.
#include <algorithm>

#include "reader_state.h"

namespace kytsim {

void SimReader::State::FlushStray(Clock::time_point when)
{
    if (stray.empty())
        return;
    log.Add(Direction::HostToReader, stray, when);
    stray.clear();
}

// Takes bytes the host sent at the reader's speed and cuts frames out of them
// (layout in protocol.cpp): a start byte, a header whose dwLength gives the
// frame's size, and that many more bytes.  Bytes before a start byte, and a
// start byte with an impossible dwLength, are line noise.
void SimReader::State::Deliver(const uint8_t *bytes, size_t count, Clock::time_point when)
{
    // Paced, byte i of this piece has arrived (i + 1) byte times after the
    // line was free to carry it; a frame is acted on once its last byte is in.
    uint32_t bitsPerSecond = PacedSpeed();
    size_t pieceBegin = rx.size();
    Clock::time_point pieceStart = std::max(when, rxLineFree);
    if (bitsPerSecond != 0)
        rxLineFree = pieceStart + LineTime(count, bitsPerSecond);
    rx.insert(rx.end(), bytes, bytes + count);
    lastRx = when;
    size_t pos = 0;
    while (pos < rx.size()) {
        if (rx[pos] != kFrameStart) {
            stray.push_back(rx[pos++]);
            continue;
        }
        size_t available = rx.size() - pos;
        if (available < 1 + kHeaderSize)
            break;
        uint32_t length = FrameDataLength(&rx[pos]);
        if (length > kMaxFrameData) {
            stray.push_back(rx[pos++]);
            continue;
        }
        size_t total = length + kHeaderSize + kFrameOverhead;
        if (available < total)
            break;
        Clock::time_point arrived = when;
        if (bitsPerSecond != 0) {
            size_t end = std::max(pos + total, pieceBegin + 1);
            arrived = pieceStart + LineTime(end - pieceBegin, bitsPerSecond);
            if (!WaitUntil(arrived))
                break;
        }
        FlushStray(arrived);
        Bytes frame(rx.begin() + pos, rx.begin() + pos + total);
        pos += total;
        HandleFrame(frame, arrived);
        if (stopping)
            break;
    }
    rx.erase(rx.begin(), rx.begin() + std::min(pos, rx.size()));
    FlushStray(when);
}

void SimReader::State::HandleFrame(const Bytes &frame, Clock::time_point when)
{
    log.Add(Direction::HostToReader, frame, when);
    std::chrono::milliseconds readerDelay;
    {
        std::lock_guard<std::mutex> guard(mutex);
        readerDelay = config.readerDelay;
    }
    if (readerDelay.count() > 0 && !WaitUntil(when + readerDelay))
        return;
    // A response whose time came while this frame was arriving goes first.
    SendDelayedResponse();
    if (!FrameIntact(frame)) {
        Bytes refused = AckFrame(kAckRefused);
        if (SendToHost(refused))
            log.Add(Direction::ReaderToHost, refused, Clock::now());
        return;
    }
    Bytes message = FrameMessage(frame);
    if (IsRepeatRequest(message.data(), message.size()))
        HandleRepeatRequest();
    else
        HandleCommand(message);
}

// A repeat request gets the last response frame again, without an
// acknowledge, and passes through the response faults like any response.
// While the card is still at work there is nothing new to repeat, and the
// response before it belongs to an older command: the request gets nothing,
// and the response follows when the card has done.
void SimReader::State::HandleRepeatRequest()
{
    log.CountRepeatRequest();
    if (delayed)
        return;
    Bytes frame;
    {
        std::lock_guard<std::mutex> guard(mutex);
        if (faults.TakeIgnoredRepeat())
            return;
        frame = lastResponseFrame;
    }
    if (!frame.empty())
        SendResponseFrame(frame);
}

// A new command frame while a response still waits for the card means the
// host has given up on that response: it is dropped unsent (the card has
// done its work all the same), and the new command is answered as usual.
// A response of a command that arrived before a silence began is never sent.
void SimReader::State::HandleCommand(const Bytes &message)
{
    delayed.reset();
    uint64_t silencesBefore;
    {
        std::lock_guard<std::mutex> guard(mutex);
        silencesBefore = silences;
    }
    Answer answer = AnswerCommand(message);
    if (answer.ack.empty() || !Heard(silencesBefore))
        return;
    // Without a pause the acknowledge and the response leave in one write, so
    // the host finds the response's first bytes right behind the acknowledge.
    bool ackAlone = !answer.respond || answer.withhold || answer.delay.count() > 0;
    if (ackAlone && SendToHost(answer.ack))
        log.Add(Direction::ReaderToHost, answer.ack, Clock::now());
    if (!answer.respond)
        return;
    Bytes frame = Frame(answer.response);
    if (answer.withhold) {
        std::lock_guard<std::mutex> guard(mutex);
        lastResponseFrame = frame;
        speedAfterResponse = answer.newSpeed;
        return;
    }
    if (answer.delay.count() > 0) {
        delayed = DelayedResponse{frame, answer.newSpeed, Clock::now() + answer.delay, silencesBefore};
        return;
    }
    {
        std::lock_guard<std::mutex> guard(mutex);
        lastResponseFrame = frame;
        speedAfterResponse = answer.newSpeed;
    }
    SendResponseFrame(frame, ackAlone ? Bytes() : answer.ack);
}

bool SimReader::State::Heard(uint64_t silencesBefore)
{
    std::lock_guard<std::mutex> guard(mutex);
    if (silences == silencesBefore && !SilentNow())
        return true;
    // The response is lost with the silence: a repeat request after it has
    // nothing to fetch, least of all the response of an older command.
    lastResponseFrame.clear();
    speedAfterResponse.reset();
    return false;
}

// The response that waited for the card, once its time has come; dropped
// when a silence has begun since its command arrived.
void SimReader::State::SendDelayedResponse()
{
    if (!delayed || Clock::now() < delayed->due)
        return;
    DelayedResponse response = std::move(*delayed);
    delayed.reset();
    if (!Heard(response.silences))
        return;
    {
        std::lock_guard<std::mutex> guard(mutex);
        lastResponseFrame = response.frame;
        speedAfterResponse = response.newSpeed;
    }
    SendResponseFrame(response.frame);
}

// The acknowledge of a command frame, and the response when the command is
// processed.  The acknowledge faults come first: a lost, refused or damaged
// acknowledge means the reader did not take the command; one lost after the
// run means it did, and nothing of its answer reaches the host.
SimReader::State::Answer SimReader::State::AnswerCommand(const Bytes &message)
{
    Answer answer;
    std::unique_lock<std::mutex> lock(mutex);
    log.AddCommand(message);
    apduAnswered = false;
    apduDelay = std::chrono::milliseconds(0);
    faults.DrawForCommand();
    AckFault ackFault = faults.TakeAckFault();
    switch (ackFault) {
    case AckFault::Lost:
        return answer;
    case AckFault::Refused:
        answer.ack = AckFrame(kAckRefused);
        return answer;
    case AckFault::DamagedChecksum:
        answer.ack = DamagedAck();
        return answer;
    case AckFault::LostAfterRun:
    case AckFault::None:
        break;
    }
    if (ignoreSpeedChange && message[0] == kPcToRdrEscape &&
        SetSpeedEntry(Bytes(message.begin() + kHeaderSize, message.end())))
        return answer;
    answer.ack = AckFrame(kAckOk);
    answer.respond = true;
    answering = true;
    RunCommand(message, answer, lock);
    answering = false;
    answered.notify_all();
    if (ackFault == AckFault::LostAfterRun) {
        LoseAfterRun(answer);
        return Answer();
    }
    answer.withhold = faults.TakeWithheldResponse();
    answer.delay = config.responseDelay;
    if (apduAnswered)
        answer.delay += config.cardDelay + apduDelay;
    return answer;
}

// Sends a response frame, with whatever damage the faults ask for.  Repeats
// of the frame pass through here too and so count as response frames.  The
// bytes ahead (an acknowledge) go out in the same write as the frame's start.
void SimReader::State::SendResponseFrame(const Bytes &frame, const Bytes &ahead)
{
    ResponseDamage damage;
    std::optional<uint32_t> newSpeed;
    {
        std::lock_guard<std::mutex> guard(mutex);
        if (SilentNow()) {
            speedAfterResponse.reset(); // never confirmed, so the speed stays
            return;
        }
        damage = faults.TakeResponseDamage(frame.size(), config.splitPause);
        newSpeed = speedAfterResponse;
        speedAfterResponse.reset();
    }
    if (!ahead.empty())
        log.Add(Direction::ReaderToHost, ahead, Clock::now());
    Bytes wire;
    for (const Bytes &part : damage.Apply(frame)) {
        log.Add(Direction::ReaderToHost, part, Clock::now());
        wire.insert(wire.end(), part.begin(), part.end());
    }
    size_t pieceSize = (wire.size() + damage.pieces - 1) / damage.pieces;
    for (size_t offset = 0; offset < wire.size(); offset += pieceSize) {
        if (offset > 0 && !Pause(damage.pieceDelay))
            return;
        size_t size = std::min(pieceSize, wire.size() - offset);
        Bytes piece = offset == 0 ? ahead : Bytes();
        piece.insert(piece.end(), wire.begin() + offset, wire.begin() + offset + size);
        if (!SendToHost(piece))
            break;
    }
    if (newSpeed) {
        // The reader moves to the new speed once its confirmation is out.
        std::lock_guard<std::mutex> guard(mutex);
        speed = *newSpeed;
    }
}

} // namespace kytsim
