// kyt_sim's command-line options: the usage text, and one small function per
// option that takes a value.
#include "options.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

#include "card_names.h"
#include "fault_names.h"
#include "iso_card.h"
#include "parsing.h"
#include "protocol.h"
#include "vpcd_slots.h"

namespace kytsim::program {

namespace {

const char kUsage[] =
    "Usage: kyt_sim [OPTION]...\n"
    "Plays a KYT serial smart-card reader on a pseudo-terminal until interrupted\n"
    "(SIGINT or SIGTERM).  Open the printed path as the reader's serial port.\n"
    "\n"
    "Options:\n"
    "  --model MODEL       reader model: KYT7710P (2 slots), KYT7710P_V3 (3 slots,\n"
    "                      the default) or KYT4460P (3 slots)\n"
    "  --firmware TEXT     the version text in the reader's answer to the firmware\n"
    "                      query (reply bytes 5 on; byte 4 is its length): 1 to\n"
    "                      255 bytes instead of the model's own, such as\n"
    "                      \"KYT7710P_V3 1.0.1\"; libkyt's detection takes 30 at\n"
    "                      most (KYT_OpenA fails with EIO on a longer one), so\n"
    "                      give a longer text with the firmware command once the\n"
    "                      reader is open\n"
    "  --speed BPS         the reader's line speed in bit/s (default 9600): one of\n"
    "                      9600 19200 38400 57600 115200 128000 230400 250000\n"
    "                      256000 500000\n"
    "  --card SLOT:CARD    put a card into slot SLOT (0-based); CARD is demo-t1\n"
    "                      (the T=1 demo card), demo-t0 (the T=0 demo card), an\n"
    "                      ATR in hex without spaces (for example 3B808031FE458A;\n"
    "                      1 to 254 bytes, more than ISO 7816-3's 33 if need be),\n"
    "                      which makes a card with that ATR and the demo file\n"
    "                      system answering in T=1 style, extended-length APDUs\n"
    "                      included, or rules:FILE, a card described by a rules\n"
    "                      file (see kyt_sim(1), RULES FILES); may be repeated\n"
    "  --card SLOT:vpcd[:PORT]\n"
    "                      the card in slot SLOT is a card emulator that speaks\n"
    "                      vsmartcard's vpcd protocol (vicc, jCardSim) and connects\n"
    "                      to 127.0.0.1:PORT (default 35963 plus SLOT; 0 takes any\n"
    "                      free port); the slot holds its card while it is\n"
    "                      connected, one emulator at a time\n"
    "  --vpcd-timeout MS   the time a card emulator has for each answer; after it\n"
    "                      its card is mute and the connection is dropped\n"
    "                      (default 5000)\n"
    "  --empty SLOT        leave slot SLOT without a card\n"
    "  --block N           send card responses longer than N bytes in chained\n"
    "                      blocks of N bytes (default 0: never chain)\n"
    "  --link PATH         create a symbolic link PATH to the pty (removed on exit)\n"
    "  --record FILE       write each slot's ATR, command APDUs and responses as\n"
    "                      they happen to FILE.slotN, a rules file that replays\n"
    "                      the card (--card N:rules:FILE.slotN); a slot that\n"
    "                      powers on with another card's ATR goes on in\n"
    "                      FILE.slotN.2, .3 and so on\n"
    "  --pace              take as long as a real line: every byte needs 10 bit-times\n"
    "                      of the current line speed in each direction (a command\n"
    "                      frame is acted on once its last byte would have arrived;\n"
    "                      the reader's bytes leave at the line rate)\n"
    "  --reader-delay MS   the reader's own work per frame: MS milliseconds between\n"
    "                      a frame's arrival and its acknowledge (default 0)\n"
    "  --card-delay MS     the card's work per command APDU: MS milliseconds between\n"
    "                      the acknowledge and the response (default 0)\n"
    "  --adapter-latency MS\n"
    "                      deliver the reader's bytes as a USB-serial adapter does:\n"
    "                      once 62 bytes wait, or MS milliseconds after the first\n"
    "                      of them (FTDI: 16 by default, 1 with low latency;\n"
    "                      default 0: no adapter)\n"
    "  --max-speed BPS     the fastest line speed the reader takes: a set-speed\n"
    "                      command asking for more is refused (reply 6A 80) and the\n"
    "                      reader keeps its speed (default: every speed is taken)\n"
    "  --fault KIND[:RATE] strike RATE percent (0 to 100, decimals allowed, default\n"
    "                      10) of the occasions of a fault KIND (listed below);\n"
    "                      may be repeated, one kind each time\n"
    "  --seed N            seed of the generator that draws the faults (default 1):\n"
    "                      the same seed and the same traffic give the same faults\n"
    "  --resend MODE       what the reader does with a command the host sends again\n"
    "                      after its acknowledge was lost (ack-lost-after-run): run\n"
    "                      (the default) runs it again, so a command APDU reaches\n"
    "                      the card twice; replay recognises it by its bSlot, bSeq\n"
    "                      and bytes and sends the previous response again\n"
    "  --split-pause MS    the pause between the pieces of a response-split fault\n"
    "                      (default 50)\n"
    "  --card-factors SLOT:FD\n"
    "                      the fastest transmission factors the card in slot SLOT\n"
    "                      manages, as a bmFindexDindex in hex (Fi index, Di index;\n"
    "                      for example 11 or 96): SetParameters asking for a\n"
    "                      shorter elementary time unit is refused (command failed,\n"
    "                      bError 10)\n"
    "  --log FILE          write every frame to FILE as it crosses the line: UTC\n"
    "                      time, host>reader or reader>host, the bytes in hex; a\n"
    "                      full FILE is renamed FILE.1 and a new one begun\n"
    "  --log-size KIB      the size of FILE that starts a new one (default 1024)\n"
    "  --help              show this text and exit\n"
    "\n"
    "Without --card the demo setup is inserted: slot 0 holds the T=1 demo card,\n"
    "slot 1 the T=0 demo card and slot 2 stays empty.  With --card only the named\n"
    "slots hold cards.\n"
    "\n"
    "When the reader is ready, one line \"Simulated reader ready on PATH\" is\n"
    "printed, PATH being the link when --link is given, else the pty itself.\n"
    "Before it, each vpcd slot has its line \"Slot SLOT waits for a card emulator\n"
    "on 127.0.0.1:PORT\"; emulators connecting, leaving and being refused are\n"
    "reported on standard error.\n"
    "\n"
    "While it runs, kyt_sim reads commands from standard input, one per line, and\n"
    "answers each with one line beginning \"ok\" or \"error\":\n"
    "  remove SLOT         pull the card out of slot SLOT\n"
    "  insert SLOT CARD    put a card into slot SLOT (CARD as for --card, vpcd\n"
    "                      aside, a rules FILE without blanks); a card already\n"
    "                      there is replaced\n"
    "  bounce SLOT         pull the card out of slot SLOT during its next command\n"
    "                      APDU (or protocol selection) and put it back at once:\n"
    "                      that command fails as if the slot were empty, and the\n"
    "                      card is there again, unpowered\n"
    "  delay SLOT MS       the card in slot SLOT takes MS milliseconds (0 to\n"
    "                      3600000) longer over its next command APDU, once: the\n"
    "                      acknowledge at once, the response that late; 0 cancels\n"
    "                      one still to come.  Meanwhile a repeat request gets\n"
    "                      nothing, and a new command frame drops the response\n"
    "                      unsent and is answered as usual\n"
    "  silence [MS]        the whole reader goes silent, as if switched off with\n"
    "                      the port kept: it drops every byte the host sends and\n"
    "                      sends nothing, not even an answer begun before (nor\n"
    "                      to a repeat request after); for MS milliseconds (1 to\n"
    "                      3600000), or until \"silence off\".  Its cards and\n"
    "                      line speed stay as they are\n"
    "  silence off         the reader answers again\n"
    "  firmware [TEXT]     the firmware text from now on (as --firmware; the rest\n"
    "                      of the line after one blank), or the model's own again\n"
    "  mute SLOT           the card in slot SLOT stays but stops answering: a\n"
    "                      power-on finds it mute, a powered card falls mute at its\n"
    "                      next command APDU\n"
    "  unmute SLOT         the card answers again (once it is powered on again if it\n"
    "                      fell mute)\n"
    "  fault KIND RATE     strike RATE percent of the occasions of KIND from now on\n"
    "                      (0 turns that kind off)\n"
    "  inject KIND [N]     strike the next N occasions of KIND (default 1)\n"
    "  faults off          end every fault: rates, injected ones still to come\n"
    "  status              print the line speed, the bytes that crossed the line\n"
    "                      each way, whether the reader is silent (and how long\n"
    "                      it stays so), each slot's card (powered, mute, a delay\n"
    "                      to come), the model, each fault kind in play (struck\n"
    "                      so far, rate, still to come) and the commands the host\n"
    "                      sent again\n"
    "The end of standard input ends the commands, not the reader.\n"
    "\n"
    "Fault kinds, each with what the host sees (and does with libkyt's retries).\n"
    "The acknowledge kinds strike command frames (ack-late aside), the response\n"
    "kinds and ack-late strike response frames, repeated ones included,\n"
    "response-withheld strikes commands run, repeat-ignored repeat requests:\n";

// One option's value applied to the options: "" when it is good, else why not.
using OptionValue = std::string (*)(const std::string &option, const std::string &value, Options &options);

std::string ModelOption(const std::string &, const std::string &value, Options &options)
{
    for (Model model : {Model::KYT7710P, Model::KYT7710P_V3, Model::KYT4460P}) {
        if (value == ModelString(model)) {
            options.config.model = model;
            return "";
        }
    }
    return "unknown model " + value;
}

std::string FirmwareOption(const std::string &, const std::string &value, Options &options)
{
    if (value.empty() || value.size() > kMaxFirmwareText)
        return "--firmware wants a text of 1 to " + std::to_string(kMaxFirmwareText) + " bytes, not " +
               std::to_string(value.size());
    options.config.firmwareReply = FirmwareReplyForText(value);
    return "";
}

std::string SpeedOption(const std::string &option, const std::string &value, Options &options)
{
    std::optional<uint32_t> speed = ParseSpeed(value);
    if (!speed)
        return "unsupported speed " + value;
    (option == "--speed" ? options.config.speed : options.config.maxSpeed) = *speed;
    return "";
}

// A slot that waits for a card emulator starts empty.
std::string VpcdCardOption(unsigned slot, const std::string &name, Options &options)
{
    std::optional<uint16_t> port = VpcdPort(name, slot);
    if (!port)
        return "--card SLOT:vpcd:PORT wants a port from 0 to 65535, not " + name;
    options.vpcd.ports[slot] = *port;
    options.cards[slot] = std::nullopt;
    return "";
}

std::string CardOption(const std::string &, const std::string &value, Options &options)
{
    size_t colon = value.find(':');
    std::optional<unsigned> slot = ParseSlot(colon == std::string::npos ? std::string() : value.substr(0, colon));
    if (!slot)
        return "--card wants SLOT:CARD with a slot number from 0, not " + value;
    std::string name = value.substr(colon + 1);
    if (IsVpcdCardName(name))
        return VpcdCardOption(*slot, name, options);
    options.vpcd.ports.erase(*slot);
    std::string why;
    std::optional<Card> card = CardByName(name, &why);
    if (!card && !why.empty())
        return why;
    if (!card)
        return "card " + name + " is neither demo-t1, demo-t0, rules:FILE nor an ATR in hex";
    options.cards[*slot] = *card;
    return "";
}

std::string EmptyOption(const std::string &, const std::string &value, Options &options)
{
    std::optional<unsigned> slot = ParseSlot(value);
    if (!slot)
        return "bad slot number " + value;
    options.cards[*slot] = std::nullopt;
    options.vpcd.ports.erase(*slot);
    return "";
}

std::string BlockOption(const std::string &, const std::string &value, Options &options)
{
    std::optional<unsigned long> block = ParseNumber(value);
    if (!block)
        return "bad block size " + value;
    options.config.maxResponseBlock = *block;
    return "";
}

std::string DelayOption(const std::string &option, const std::string &value, Options &options)
{
    std::optional<unsigned long> ms = ParseNumber(value);
    if (!ms)
        return "bad delay " + value + " for " + option + " (milliseconds)";
    (option == "--reader-delay" ? options.config.readerDelay : options.config.cardDelay) =
        std::chrono::milliseconds(*ms);
    return "";
}

std::string AdapterLatencyOption(const std::string &, const std::string &value, Options &options)
{
    std::optional<unsigned long> ms = ParseNumber(value);
    if (!ms || *ms > 1000)
        return "bad latency " + value + " for --adapter-latency (milliseconds, 0 to 1000)";
    options.config.adapterLatency = std::chrono::milliseconds(*ms);
    return "";
}

std::string VpcdTimeoutOption(const std::string &, const std::string &value, Options &options)
{
    std::optional<unsigned long> ms = ParseNumber(value);
    if (!ms || *ms == 0)
        return "bad time " + value + " for --vpcd-timeout (milliseconds, at least 1)";
    options.vpcd.timeout = std::chrono::milliseconds(*ms);
    return "";
}

std::string LinkOption(const std::string &, const std::string &value, Options &options)
{
    options.link = value;
    return "";
}

// The recording's files are made as cards power on: the folder they go
// into must take them from the start.
std::string RecordOption(const std::string &, const std::string &value, Options &options)
{
    size_t slash = value.rfind('/');
    std::string folder = slash == std::string::npos ? "." : value.substr(0, slash + 1);
    if (value.empty() || value.back() == '/')
        return "--record wants a file name, not " + value;
    if (access(folder.c_str(), W_OK | X_OK) != 0)
        return "--record " + value + ": cannot write into " + folder + ": " + std::strerror(errno);
    options.record = value;
    return "";
}

struct OptionEntry {
    const char *name;
    OptionValue apply;
};

constexpr OptionEntry kOptions[] = {
    {"--model", ModelOption},
    {"--speed", SpeedOption},
    {"--max-speed", SpeedOption},
    {"--firmware", FirmwareOption},
    {"--card", CardOption},
    {"--empty", EmptyOption},
    {"--block", BlockOption},
    {"--reader-delay", DelayOption},
    {"--card-delay", DelayOption},
    {"--link", LinkOption},
    {"--vpcd-timeout", VpcdTimeoutOption},
    {"--record", RecordOption},
    {"--adapter-latency", AdapterLatencyOption},
};

int Fail(const std::string &message)
{
    std::fprintf(stderr, "kyt_sim: %s\n", message.c_str());
    std::fprintf(stderr, "Try 'kyt_sim --help' for more information.\n");
    return 2;
}

// An option with a value: "" when it is good, else why not.
std::string ApplyOption(const std::string &option, const std::string &value, Options &options)
{
    for (const OptionEntry &entry : kOptions) {
        if (option == entry.name)
            return entry.apply(option, value, options);
    }
    if (std::optional<std::string> error = ApplyFaultOption(option, value, options))
        return *error;
    if (std::optional<std::string> error = ApplyLogOption(option, value, options))
        return *error;
    return "unknown option " + option;
}

} // namespace

std::variant<Options, int> ParseOptions(int argc, char **argv)
{
    Options options;
    bool anyCard = false;
    for (int i = 1; i < argc; i++) {
        std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            std::fputs(FaultKindsHelp().c_str(), stdout);
            return 0;
        }
        if (option == "--pace") {
            options.config.pace = true;
            continue;
        }
        if (i + 1 >= argc)
            return Fail("option " + option + " needs a value, or is unknown");
        std::string error = ApplyOption(option, argv[++i], options);
        if (!error.empty())
            return Fail(error);
        anyCard = anyCard || option == "--card";
    }
    if (!anyCard) {
        options.cards.try_emplace(0, DemoT1Card());
        options.cards.try_emplace(1, DemoT0Card());
    }
    return options;
}

} // namespace kytsim::program
