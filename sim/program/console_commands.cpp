// The commands read on standard input (the fault commands in
// console_faults.cpp, delay, silence and firmware in console_controls.cpp).
#include "console_commands.h"

#include <optional>
#include <sstream>

#include "card_names.h"
#include "console_controls.h"
#include "console_faults.h"
#include "parsing.h"
#include "protocol.h"

namespace kytsim::program {

namespace {

const char kCommands[] =
    "error: commands are \"remove SLOT\", \"insert SLOT CARD\", \"bounce SLOT\", "
    "\"mute SLOT\", \"unmute SLOT\", \"delay SLOT MS\", \"silence [MS|off]\", "
    "\"firmware [TEXT]\", \"fault KIND RATE\", \"inject KIND [N]\", "
    "\"faults off\" and \"status\"";

// The reader's state in one line, for the "status" command.
std::string StatusLine(const SimReader &reader, unsigned slots)
{
    LineCounts counts = reader.Counts();
    std::string line = "ok: " + std::to_string(reader.Speed()) + " bit/s, " + std::to_string(counts.fromHost) +
                       " bytes from the host, " + std::to_string(counts.fromReader) + " bytes to it" +
                       SilenceStatus(reader);
    for (unsigned slot = 0; slot < slots; slot++) {
        line += "; slot " + std::to_string(slot) + ": ";
        if (!reader.CardPresent(slot))
            line += "empty";
        else
            line += reader.CardPowered(slot) ? "card, powered" : "card";
        if (reader.CardMute(slot))
            line += ", mute";
        line += DelayStatus(reader, slot);
    }
    return line + "; model " + ModelString(reader.CurrentConfig().model) + FaultStatus(reader);
}

// A command line cut into words; past the third, words are not looked at.
struct Words {
    std::string verb;
    std::string slot;
    std::string card;
    int count = 0;
};

Words Split(const std::string &line)
{
    Words words;
    std::istringstream in(line);
    for (std::string *word : {&words.verb, &words.slot, &words.card}) {
        if (!(in >> *word))
            break;
        words.count++;
    }
    return words;
}

} // namespace

std::string RunConsoleCommand(SimReader &reader, unsigned slots, const std::string &line)
{
    if (std::optional<std::string> answer = RunFaultCommand(reader, line))
        return *answer;
    if (std::optional<std::string> answer = RunControlCommand(reader, line))
        return *answer;
    Words words = Split(line);
    if (words.count == 1 && words.verb == "status")
        return StatusLine(reader, slots);
    if (words.verb != "remove" && words.verb != "insert" && words.verb != "bounce")
        return kCommands;
    std::optional<unsigned> slot = ParseSlot(words.slot);
    if (!slot)
        return "error: a slot number from 0 to " + std::to_string(kMaxSlots - 1) + " is needed";
    std::string named = "slot " + std::to_string(*slot);
    if (words.verb == "remove" && words.count == 2) {
        reader.RemoveCard(*slot);
        return "ok: " + named + " is empty";
    }
    if (words.verb == "bounce" && words.count == 2) {
        reader.BounceCard(*slot);
        return "ok: " + named + " bounces at its next APDU";
    }
    if (words.verb == "insert" && words.count == 3) {
        std::string why;
        std::optional<Card> card = CardByName(words.card, &why);
        if (!card)
            return "error: " + (why.empty() ? "unknown card " + words.card : why);
        reader.InsertCard(*slot, *card);
        return "ok: " + named + " holds " + words.card;
    }
    return kCommands;
}

} // namespace kytsim::program
