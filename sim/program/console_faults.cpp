// Card and line faults from standard input.
#include "console_faults.h"

#include <sstream>
#include <vector>

#include "fault_names.h"
#include "parsing.h"

namespace kytsim::program {

namespace {

constexpr unsigned long kMaxInjected = 1000000;

std::string MuteCommand(SimReader &reader, const std::vector<std::string> &words)
{
    std::optional<unsigned> slot = words.size() == 2 ? ParseSlot(words[1]) : std::nullopt;
    if (!slot)
        return "error: " + words[0] + " wants a slot number";
    std::string named = "slot " + std::to_string(*slot);
    if (!reader.CardPresent(*slot))
        return "error: " + named + " holds no card";
    bool mute = words[0] == "mute";
    reader.SetCardMute(*slot, mute);
    return "ok: the card in " + named + (mute ? " is mute" : " answers again");
}

std::string RateCommand(SimReader &reader, const std::vector<std::string> &words)
{
    std::optional<FaultKind> kind = words.size() == 3 ? FaultKindByName(words[1]) : std::nullopt;
    std::optional<uint32_t> rate = words.size() == 3 ? ParseRate(words[2]) : std::nullopt;
    if (!kind || !rate)
        return "error: fault wants a fault kind and a rate in percent, such as \"fault ack-lost 10\"";
    reader.SetFaultRate(*kind, *rate);
    return "ok: " + words[1] + " at " + RateText(*rate);
}

std::string InjectCommand(SimReader &reader, const std::vector<std::string> &words)
{
    std::optional<FaultKind> kind = words.size() >= 2 ? FaultKindByName(words[1]) : std::nullopt;
    std::optional<unsigned long> count = words.size() == 3 ? ParseNumber(words[2]) : 1UL;
    if (!kind || words.size() > 3 || !count || *count == 0 || *count > kMaxInjected)
        return "error: inject wants a fault kind and a count from 1 to " + std::to_string(kMaxInjected);
    reader.InjectFault(*kind, static_cast<unsigned>(*count));
    return "ok: " + words[1] + " for the next " + std::to_string(*count);
}

// One kind in the status, or "" when it is not in play.
std::string KindStatus(FaultKind kind, const FaultTally &tally)
{
    if (tally.rate == 0 && tally.pending == 0 && tally.injected == 0)
        return "";
    std::string text = std::string(FaultName(kind)) + " " + std::to_string(tally.injected);
    if (tally.rate != 0)
        text += " at " + RateText(tally.rate);
    if (tally.pending != 0)
        text += " (" + std::to_string(tally.pending) + " to come)";
    return text;
}

} // namespace

std::optional<std::string> RunFaultCommand(SimReader &reader, const std::string &line)
{
    std::vector<std::string> words = CommandWords(line);
    if (words.empty())
        return std::nullopt;
    if (words[0] == "mute" || words[0] == "unmute")
        return MuteCommand(reader, words);
    if (words[0] == "fault")
        return RateCommand(reader, words);
    if (words[0] == "inject")
        return InjectCommand(reader, words);
    if (words[0] == "faults") {
        if (words.size() != 2 || words[1] != "off")
            return "error: \"faults off\" is the one faults command";
        reader.ClearFaults();
        return "ok: every fault off";
    }
    return std::nullopt;
}

std::string FaultStatus(const SimReader &reader)
{
    std::string kinds;
    for (unsigned i = 0; i < kFaultKinds; i++) {
        FaultKind kind = static_cast<FaultKind>(i);
        std::string text = KindStatus(kind, reader.Tally(kind));
        if (!text.empty())
            kinds += (kinds.empty() ? "" : ", ") + text;
    }
    bool replay = reader.CurrentConfig().resend == Resend::Replay;
    size_t resends = reader.Resends();
    return "; faults: " + (kinds.empty() ? std::string("none") : kinds) + "; resend " +
           (replay ? "replay, " : "run, ") + std::to_string(resends) + (resends == 1 ? " command" : " commands") +
           " sent again";
}

} // namespace kytsim::program
