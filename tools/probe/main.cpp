// kyt_probe: finds KYT smart-card readers on serial ports and tells what
// stands in the way of the ones it cannot use.
//
//   kyt_probe [--libpath FILE] [PORT...]
//   kyt_probe --reader-conf [--libpath FILE] PORT
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ports.h"
#include "reader_conf.h"
#include "report.h"

namespace {

constexpr int kFound = 0;
constexpr int kNotFound = 1;
constexpr int kUsage = 2;

const char kHelp[] =
    "Usage: kyt_probe [--libpath FILE] [PORT...]\n"
    "       kyt_probe --reader-conf [--libpath FILE] PORT\n"
    "Looks for KYT smart-card readers on serial ports.  For each port it says\n"
    "whether the port is missing, not permitted (and how to fix that), in use by\n"
    "another program (found without sending anything), without a KYT reader, or\n"
    "which reader answers: its model, firmware text, slots, the line speed it was\n"
    "found at and each slot's card; for a USB adapter also its driver and latency\n"
    "timer.  Each port is left as it was found, apart from the power-off of the\n"
    "cards that closing a reader implies.\n"
    "\n"
    "  PORT             a serial port; default: every /dev/ttyS*, ttyUSB*, ttyACM*,\n"
    "                   ttyAMA* and /dev/serial/by-id/* entry\n"
    "  --reader-conf    print a reader.conf entry for pcscd for the reader on PORT,\n"
    "                   under the port's stable /dev/serial name where it has one\n"
    "  --libpath FILE   the handler the entry names (default " KYT_PROBE_HANDLER
    ")\n"
    "  --help           print this text\n"
    "\n"
    "Exit status: 0 a reader answered (with --reader-conf: the entry was printed);\n"
    "1 no reader answered; 2 a bad command line.\n";

struct Options {
    bool readerConf = false;
    std::string handler = KYT_PROBE_HANDLER;
    std::vector<std::string> ports;
};

// False after printing what is wrong.
bool Parse(int argc, char **argv, Options *options)
{
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg == "--reader-conf") {
            options->readerConf = true;
        } else if (arg == "--libpath") {
            if (i + 1 == argc) {
                std::fprintf(stderr, "kyt_probe: --libpath needs the handler's file\n");
                return false;
            }
            options->handler = argv[++i];
        } else if (arg == "--") {
            options->ports.insert(options->ports.end(), argv + i + 1, argv + argc);
            break;
        } else if (arg.rfind('-', 0) == 0) {
            std::fprintf(stderr, "kyt_probe: unknown option %s\n", arg.c_str());
            return false;
        } else {
            options->ports.push_back(arg);
        }
    }
    if (options->readerConf && options->ports.size() != 1) {
        std::fprintf(stderr, "kyt_probe: --reader-conf takes exactly one port\n");
        return false;
    }
    return true;
}

int ProbePorts(const std::vector<std::string> &ports, bool scan)
{
    bool found = false;
    std::vector<std::string> skipped;
    bool first = true;
    for (const std::string &port : ports) {
        probe::Outcome outcome = probe::ReportPort(port, first, scan);
        found = found || outcome == probe::Outcome::Reader;
        if (outcome == probe::Outcome::Skipped)
            skipped.push_back(port);
        else
            first = false;
    }
    if (!skipped.empty()) {
        std::printf("%s%zu more port%s with no device behind %s:", first ? "" : "\n", skipped.size(),
                    skipped.size() == 1 ? "" : "s", skipped.size() == 1 ? "it" : "them");
        for (const std::string &path : skipped)
            std::printf(" %s", path.c_str());
        std::printf("\n");
    }
    if (ports.empty())
        std::printf("no serial ports found\n");
    return found ? kFound : kNotFound;
}

} // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kHelp, stdout);
            return kFound;
        }
    }
    Options options;
    if (!Parse(argc, argv, &options)) {
        std::fputs("Try kyt_probe --help.\n", stderr);
        return kUsage;
    }
    if (options.readerConf)
        return probe::PrintReaderConf(options.ports.front(), options.handler) ? kFound : kNotFound;
    if (options.ports.empty())
        return ProbePorts(probe::DefaultPorts(), true);
    return ProbePorts(options.ports, false);
}
