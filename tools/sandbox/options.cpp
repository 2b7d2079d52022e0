#include "options.h"

#include <cstdio>
#include <cstdlib>

#include "exit_status.h"

namespace kytsandbox {

namespace {

const char kUsage[] =
    "Usage: kyt_sandbox [kyt_sim options] [--readers N] [--verbose] [-- COMMAND [ARGS...]]\n"
    "       kyt_sandbox --control [reader K] COMMAND-LINE...\n"
    "\n"
    "Runs COMMAND (without one, your shell) against a private pcscd whose readers\n"
    "are simulated KYT readers (kyt_sim), as an ordinary user, without touching\n"
    "the system's pcscd.  PCSCLITE_CSOCK_NAME points COMMAND's PC/SC library at\n"
    "the private pcscd; when COMMAND ends, everything the sandbox started ends\n"
    "and kyt_sandbox exits with COMMAND's status.\n"
    "\n"
    "  --readers N       N simulated readers, 1 to 5 (default 1), each with the\n"
    "                    kyt_sim options given (all but --link)\n"
    "  --verbose, -v     say what starts and stops, and how long it took\n"
    "  --sim PATH        the kyt_sim program to run\n"
    "  --handler PATH    the PC/SC driver (libifdkyt.so) pcscd loads\n"
    "  --pcscd PATH      the pcscd program to run\n"
    "  --control ...     inside a sandbox: send a kyt_sim console command (remove,\n"
    "                    insert, bounce, mute, fault, status, ...) to reader 0, or\n"
    "                    to reader K after \"reader K\", and print its answer\n"
    "  --help, -h        this text\n"
    "\n"
    "COMMAND's environment has PCSCLITE_CSOCK_NAME, KYT_SANDBOX_CONTROL (the\n"
    "control socket, one command line in, one answer line out) and\n"
    "KYT_SANDBOX_READERS (the number of readers).\n"
    "\n"
    "Exit status: COMMAND's; 122 when kyt_sim ended, 123 when pcscd ended,\n"
    "125 when the sandbox could not start, 126/127 when COMMAND could not be\n"
    "run or found.  See kyt_sandbox(1).\n";

int Fail(const std::string &message)
{
    std::fprintf(stderr, "kyt_sandbox: %s (see --help)\n", message.c_str());
    return kExitSandboxFailed;
}

std::optional<unsigned> ParseReaders(const std::string &text)
{
    if (text.size() != 1 || text[0] < '1' || text[0] > static_cast<char>('0' + kMaxReaders))
        return std::nullopt;
    return static_cast<unsigned>(text[0] - '0');
}

std::string Joined(int argc, char **argv, int from)
{
    std::string line;
    for (int i = from; i < argc; i++)
        line += (line.empty() ? "" : " ") + std::string(argv[i]);
    return line;
}

// One option of kyt_sandbox's own that takes a value; false when `option`
// is not one of them.
bool OwnValueOption(const std::string &option, const std::string &value, Options &options, std::string *error)
{
    if (option == "--readers") {
        std::optional<unsigned> readers = ParseReaders(value);
        if (!readers)
            *error = "--readers wants a number from 1 to " + std::to_string(kMaxReaders) + ", not " + value;
        else
            options.readers = *readers;
        return true;
    }
    std::string *path = option == "--sim"       ? &options.sim
                        : option == "--handler" ? &options.handler
                        : option == "--pcscd"   ? &options.pcscd
                                                : nullptr;
    if (!path)
        return false;
    if (value.empty())
        *error = option + " wants a path";
    *path = value;
    return true;
}

} // namespace

std::variant<Options, int> ParseOptions(int argc, char **argv)
{
    Options options;
    for (int i = 1; i < argc; i++) {
        std::string option = argv[i];
        if (option == "--") {
            options.command.assign(argv + i + 1, argv + argc);
            if (options.command.empty())
                return Fail("-- wants a COMMAND after it");
            return options;
        }
        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (option == "--verbose" || option == "-v") {
            options.verbose = true;
            continue;
        }
        if (option == "--control") {
            options.controlLine = Joined(argc, argv, i + 1);
            if (options.controlLine->empty())
                return Fail("--control wants a command line, such as \"remove 0\"");
            return options;
        }
        if (option.empty() || option[0] != '-')
            return Fail("COMMAND goes after --: " + option);
        if (option == "--pace") { // kyt_sim's one option without a value
            options.simArgs.push_back(option);
            continue;
        }
        if (i + 1 >= argc)
            return Fail("option " + option + " needs a value, or is unknown");
        std::string value = argv[++i];
        std::string error;
        if (OwnValueOption(option, value, options, &error)) {
            if (!error.empty())
                return Fail(error);
            continue;
        }
        if (option == "--link")
            return Fail("the sandbox makes the readers' links itself: --link cannot be given");
        options.simArgs.push_back(option);
        options.simArgs.push_back(value);
    }
    return options;
}

} // namespace kytsandbox
