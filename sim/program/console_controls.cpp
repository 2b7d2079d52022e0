// The commands that hold back the reader's answers (delay, silence) or
// change its firmware text, from standard input.
#include "console_controls.h"

#include <algorithm>
#include <chrono>
#include <sstream>
#include <vector>

#include "parsing.h"
#include "protocol.h"

namespace kytsim::program {

namespace {

using std::chrono::milliseconds;

std::optional<milliseconds> ParseHold(const std::string &text)
{
    std::optional<unsigned long> ms = ParseNumber(text);
    if (!ms || *ms > kMaxHoldMs)
        return std::nullopt;
    return milliseconds(*ms);
}

std::string DelayCommand(SimReader &reader, const std::vector<std::string> &words)
{
    std::optional<unsigned> slot = words.size() == 3 ? ParseSlot(words[1]) : std::nullopt;
    std::optional<milliseconds> delay = words.size() == 3 ? ParseHold(words[2]) : std::nullopt;
    if (!slot || !delay)
        return "error: delay wants a slot number and MS from 0 to " + std::to_string(kMaxHoldMs) +
               ", such as \"delay 0 30000\"";
    std::string named = "slot " + std::to_string(*slot);
    reader.DelayNextApdu(*slot, *delay);
    if (delay->count() == 0)
        return "ok: the next APDU to " + named + " is answered without delay";
    return "ok: the next APDU to " + named + " is answered " + std::to_string(delay->count()) + " ms late";
}

// "silence", "silence MS" or "silence off".
std::string SilenceCommand(SimReader &reader, const std::vector<std::string> &words)
{
    if (words.size() == 1) {
        reader.Silence(std::nullopt);
        return "ok: the reader is silent until \"silence off\"";
    }
    if (words.size() == 2 && words[1] == "off") {
        reader.Speak();
        return "ok: the reader answers again";
    }
    std::optional<milliseconds> hold = words.size() == 2 ? ParseHold(words[1]) : std::nullopt;
    if (!hold || hold->count() == 0)
        return "error: silence wants nothing, \"off\" or MS from 1 to " + std::to_string(kMaxHoldMs);
    reader.Silence(*hold);
    return "ok: the reader is silent for " + std::to_string(hold->count()) + " ms";
}

// "firmware TEXT": the text is the rest of the line after one blank, as it
// stands (blanks inside and at its end included, the line end not).
// "firmware" alone gives the model's own text back.
std::string FirmwareCommand(SimReader &reader, const std::string &line)
{
    std::string rest = line.substr(line.find("firmware") + 8);
    while (!rest.empty() && (rest.back() == '\n' || rest.back() == '\r'))
        rest.pop_back();
    if (rest.find_first_not_of(" \t") == std::string::npos) {
        reader.UseModelFirmware();
        return "ok: the firmware text is the model's own";
    }
    std::string text = rest.substr(1);
    if (rest[0] != ' ' && rest[0] != '\t')
        return "error: firmware wants a blank, then the text";
    if (text.size() > kMaxFirmwareText)
        return "error: a firmware text has 1 to " + std::to_string(kMaxFirmwareText) + " bytes, not " +
               std::to_string(text.size());
    reader.SetFirmwareReply(FirmwareReplyForText(text));
    return "ok: the firmware text has " + std::to_string(text.size()) + " bytes";
}

} // namespace

std::optional<std::string> RunControlCommand(SimReader &reader, const std::string &line)
{
    std::vector<std::string> words = CommandWords(line);
    if (words.empty())
        return std::nullopt;
    if (words[0] == "delay")
        return DelayCommand(reader, words);
    if (words[0] == "silence")
        return SilenceCommand(reader, words);
    if (words[0] == "firmware")
        return FirmwareCommand(reader, line);
    return std::nullopt;
}

std::string SilenceStatus(const SimReader &reader)
{
    std::optional<Clock::time_point> until = reader.SilentUntil();
    if (!until)
        return "";
    if (*until == Clock::time_point::max())
        return "; silent: until \"silence off\"";
    auto left = std::chrono::ceil<milliseconds>(*until - Clock::now());
    return "; silent: " + std::to_string(std::max<long long>(left.count(), 0)) + " ms left";
}

std::string DelayStatus(const SimReader &reader, unsigned slot)
{
    milliseconds delay = reader.NextApduDelay(slot);
    if (delay.count() == 0)
        return "";
    return ", next APDU " + std::to_string(delay.count()) + " ms late";
}

} // namespace kytsim::program
