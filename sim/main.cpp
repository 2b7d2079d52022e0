// kyt_sim: a simulated KYT reader on a pseudo-terminal, for trying the
// library and kyt_test without hardware.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <thread>

#include <pthread.h>
#include <unistd.h>

#include "iso_card.h"
#include "sim_reader.h"

namespace {

const char kUsage[] =
    "Usage: kyt_sim [OPTION]...\n"
    "Plays a KYT serial smart-card reader on a pseudo-terminal until interrupted\n"
    "(SIGINT or SIGTERM).  Open the printed path as the reader's serial port.\n"
    "\n"
    "Options:\n"
    "  --model MODEL       reader model: KYT7710P (2 slots), KYT7710P_V3 (3 slots,\n"
    "                      the default) or KYT4460P (3 slots)\n"
    "  --speed BPS         the reader's line speed in bit/s (default 9600): one of\n"
    "                      9600 19200 38400 57600 115200 128000 230400 250000\n"
    "                      256000 500000\n"
    "  --card SLOT:CARD    put a card into slot SLOT (0-based); CARD is demo-t1\n"
    "                      (the T=1 demo card), demo-t0 (the T=0 demo card) or an\n"
    "                      ATR in hex without spaces (for example 3B808031FE458A),\n"
    "                      which makes a card with that ATR and the demo file\n"
    "                      system answering in T=1 style, extended-length APDUs\n"
    "                      included; may be repeated\n"
    "  --empty SLOT        leave slot SLOT without a card\n"
    "  --block N           send card responses longer than N bytes in chained\n"
    "                      blocks of N bytes (default 0: never chain)\n"
    "  --link PATH         create a symbolic link PATH to the pty (removed on exit)\n"
    "  --pace              take as long as a real line: every byte needs 10 bit-times\n"
    "                      of the current line speed in each direction (a command\n"
    "                      frame is acted on once its last byte would have arrived;\n"
    "                      the reader's bytes leave at the line rate)\n"
    "  --reader-delay MS   the reader's own work per frame: MS milliseconds between\n"
    "                      a frame's arrival and its acknowledge (default 0)\n"
    "  --card-delay MS     the card's work per command APDU: MS milliseconds between\n"
    "                      the acknowledge and the response (default 0)\n"
    "  --max-speed BPS     the fastest line speed the reader takes: a set-speed\n"
    "                      command asking for more is refused (reply 6A 80) and the\n"
    "                      reader keeps its speed (default: every speed is taken)\n"
    "  --help              show this text and exit\n"
    "\n"
    "Without --card the demo setup is inserted: slot 0 holds the T=1 demo card,\n"
    "slot 1 the T=0 demo card and slot 2 stays empty.  With --card only the named\n"
    "slots hold cards.\n"
    "\n"
    "When the reader is ready, one line \"Simulated reader ready on PATH\" is\n"
    "printed, PATH being the link when --link is given, else the pty itself.\n"
    "\n"
    "While it runs, kyt_sim reads commands from standard input, one per line, and\n"
    "answers each with one line beginning \"ok\" or \"error\":\n"
    "  remove SLOT         pull the card out of slot SLOT\n"
    "  insert SLOT CARD    put a card into slot SLOT (CARD as for --card); a card\n"
    "                      already there is replaced\n"
    "  bounce SLOT         pull the card out of slot SLOT during its next command\n"
    "                      APDU (or protocol selection) and put it back at once:\n"
    "                      that command fails as if the slot were empty, and the\n"
    "                      card is there again, unpowered\n"
    "  status              print the line speed, the bytes that crossed the line\n"
    "                      each way, and each slot's card\n"
    "The end of standard input ends the commands, not the reader.\n";

int Fail(const std::string &message)
{
    std::fprintf(stderr, "kyt_sim: %s\n", message.c_str());
    std::fprintf(stderr, "Try 'kyt_sim --help' for more information.\n");
    return 2;
}

std::optional<unsigned long> ParseNumber(const std::string &text)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return std::strtoul(text.c_str(), nullptr, 10);
}

std::optional<kytsim::Bytes> ParseHex(const std::string &text)
{
    if (text.empty() || text.size() % 2 != 0)
        return std::nullopt;
    kytsim::Bytes bytes;
    for (size_t i = 0; i < text.size(); i += 2) {
        char pair[3] = {text[i], text[i + 1], 0};
        char *end = nullptr;
        unsigned long value = std::strtoul(pair, &end, 16);
        if (end != pair + 2)
            return std::nullopt;
        bytes.push_back(static_cast<uint8_t>(value));
    }
    return bytes;
}

// A card named as for --card: demo-t1, demo-t0 or an ATR in hex.
std::optional<kytsim::Card> CardByName(const std::string &kind)
{
    if (kind == "demo-t1")
        return kytsim::DemoT1Card();
    if (kind == "demo-t0")
        return kytsim::DemoT0Card();
    std::optional<kytsim::Bytes> atr = ParseHex(kind);
    if (!atr || atr->size() > 33)
        return std::nullopt;
    kytsim::Card card;
    card.atr = *atr;
    card.handler = kytsim::IsoCardHandler(false, true);
    return card;
}

// The reader's state in one line, for the "status" command.
std::string StatusLine(const kytsim::SimReader &reader, unsigned slots)
{
    kytsim::LineCounts counts = reader.Counts();
    std::string line = "ok: " + std::to_string(reader.Speed()) + " bit/s, " + std::to_string(counts.fromHost) +
                       " bytes from the host, " + std::to_string(counts.fromReader) + " bytes to it";
    for (unsigned slot = 0; slot < slots; slot++) {
        line += "; slot " + std::to_string(slot) + ": ";
        if (!reader.CardPresent(slot))
            line += "empty";
        else
            line += reader.CardPowered(slot) ? "card, powered" : "card";
    }
    return line;
}

// One command from standard input, answered with one line.
std::string CardCommand(kytsim::SimReader *reader, unsigned slots, const char *line)
{
    char verb[16] = {}, slotText[16] = {}, kind[80] = {};
    int fields = std::sscanf(line, "%15s %15s %79s", verb, slotText, kind);
    std::string commands =
        "error: commands are \"remove SLOT\", \"insert SLOT CARD\", \"bounce SLOT\" and \"status\"";
    if (fields == 1 && std::strcmp(verb, "status") == 0)
        return StatusLine(*reader, slots);
    bool known = std::strcmp(verb, "remove") == 0 || std::strcmp(verb, "insert") == 0 ||
                 std::strcmp(verb, "bounce") == 0;
    if (!known)
        return commands;
    std::optional<unsigned long> slot = ParseNumber(slotText);
    if (!slot || *slot > 7)
        return "error: a slot number from 0 to 7 is needed";
    std::string named = "slot " + std::to_string(*slot);
    unsigned number = static_cast<unsigned>(*slot);
    if (std::strcmp(verb, "remove") == 0 && fields == 2) {
        reader->RemoveCard(number);
        return "ok: " + named + " is empty";
    }
    if (std::strcmp(verb, "bounce") == 0 && fields == 2) {
        reader->BounceCard(number);
        return "ok: " + named + " bounces at its next APDU";
    }
    if (std::strcmp(verb, "insert") == 0 && fields == 3) {
        std::optional<kytsim::Card> card = CardByName(kind);
        if (!card)
            return std::string("error: unknown card ") + kind;
        reader->InsertCard(number, *card);
        return "ok: " + named + " holds " + kind;
    }
    return commands;
}

// Commands on standard input, until its end.
void ReadCardCommands(kytsim::SimReader *reader, unsigned slots)
{
    char line[256];
    while (std::fgets(line, sizeof line, stdin)) {
        char first[2] = {};
        if (std::sscanf(line, "%1s", first) != 1)
            continue;
        std::printf("%s\n", CardCommand(reader, slots, line).c_str());
        std::fflush(stdout);
    }
}

// A line speed of the reader's table, or nullopt.
std::optional<uint32_t> ParseSpeed(const std::string &text)
{
    static const unsigned long speeds[] = {9600, 19200, 38400, 57600, 115200,
                                           128000, 230400, 250000, 256000, 500000};
    std::optional<unsigned long> speed = ParseNumber(text);
    for (unsigned long s : speeds) {
        if (speed && *speed == s)
            return static_cast<uint32_t>(s);
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char **argv)
{
    kytsim::Config config;
    std::map<unsigned, std::optional<kytsim::Card>> cards; // nullopt: empty slot
    bool anyCard = false;
    std::string link;

    for (int i = 1; i < argc; i++) {
        std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (option == "--pace") {
            config.pace = true;
            continue;
        }
        if (i + 1 >= argc)
            return Fail("option " + option + " needs a value, or is unknown");
        std::string value = argv[++i];
        if (option == "--model") {
            if (value == "KYT7710P")
                config.model = kytsim::Model::KYT7710P;
            else if (value == "KYT7710P_V3")
                config.model = kytsim::Model::KYT7710P_V3;
            else if (value == "KYT4460P")
                config.model = kytsim::Model::KYT4460P;
            else
                return Fail("unknown model " + value);
        } else if (option == "--speed" || option == "--max-speed") {
            std::optional<uint32_t> speed = ParseSpeed(value);
            if (!speed)
                return Fail("unsupported speed " + value);
            (option == "--speed" ? config.speed : config.maxSpeed) = *speed;
        } else if (option == "--card") {
            size_t colon = value.find(':');
            std::optional<unsigned long> slot =
                ParseNumber(colon == std::string::npos ? std::string() : value.substr(0, colon));
            if (!slot || *slot > 7)
                return Fail("--card wants SLOT:CARD with a slot number from 0, not " + value);
            std::string kind = value.substr(colon + 1);
            std::optional<kytsim::Card> card = CardByName(kind);
            if (!card)
                return Fail("card " + kind + " is neither demo-t1, demo-t0 nor an ATR in hex");
            cards[*slot] = *card;
            anyCard = true;
        } else if (option == "--empty") {
            std::optional<unsigned long> slot = ParseNumber(value);
            if (!slot || *slot > 7)
                return Fail("bad slot number " + value);
            cards[*slot] = std::nullopt;
        } else if (option == "--block") {
            std::optional<unsigned long> block = ParseNumber(value);
            if (!block)
                return Fail("bad block size " + value);
            config.maxResponseBlock = *block;
        } else if (option == "--reader-delay" || option == "--card-delay") {
            std::optional<unsigned long> ms = ParseNumber(value);
            if (!ms)
                return Fail("bad delay " + value + " for " + option + " (milliseconds)");
            (option == "--reader-delay" ? config.readerDelay : config.cardDelay) = std::chrono::milliseconds(*ms);
        } else if (option == "--link") {
            link = value;
        } else {
            return Fail("unknown option " + option);
        }
    }

    if (!anyCard) {
        cards.try_emplace(0, kytsim::DemoT1Card());
        cards.try_emplace(1, kytsim::DemoT0Card());
    }

    // The reader's thread inherits the blocked signals, so they reach only
    // the sigwait below.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    kytsim::SimReader reader(config);
    for (const auto &[slot, card] : cards) {
        if (card)
            reader.InsertCard(slot, *card);
    }
    std::string error;
    if (!reader.Start(&error)) {
        std::fprintf(stderr, "kyt_sim: cannot start the simulated reader: %s\n", error.c_str());
        return 1;
    }
    std::string path = reader.PortPath();
    if (!link.empty()) {
        if (symlink(reader.PortPath().c_str(), link.c_str()) != 0) {
            std::fprintf(stderr, "kyt_sim: cannot create the link %s: %s\n", link.c_str(),
                         std::strerror(errno));
            return 1;
        }
        path = link;
    }
    std::printf("Simulated reader ready on %s\n", path.c_str());
    std::fflush(stdout);
    // Started in the background of an interactive shell, a read of the
    // terminal fails instead of stopping the reader.
    std::signal(SIGTTIN, SIG_IGN);
    std::thread commands(ReadCardCommands, &reader, kytsim::ModelSlots(config.model));
    commands.detach();

    int received = 0;
    sigwait(&signals, &received);

    reader.Stop();
    if (!link.empty())
        unlink(link.c_str());
    return 0;
}
