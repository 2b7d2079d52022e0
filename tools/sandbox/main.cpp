// kyt_sandbox: any PC/SC program against simulated KYT readers behind a
// private pcscd, as an ordinary user, without touching the system's pcscd.
#include <csignal>
#include <cstdio>
#include <variant>

#include "control.h"
#include "exit_status.h"
#include "options.h"
#include "parts.h"
#include "sandbox.h"

namespace {

// Ended by a signal, kyt_sandbox ends by it too once it has cleaned up, so
// that a shell running it in a loop sees the interrupt.
[[noreturn]] void EndBy(int signal, int status)
{
    std::fflush(nullptr);
    std::signal(signal, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    raise(signal);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    std::_Exit(status);
}

} // namespace

int main(int argc, char **argv)
{
    using namespace kytsandbox;
    std::variant<Options, int> parsed = ParseOptions(argc, argv);
    const Options *options = std::get_if<Options>(&parsed);
    if (!options)
        return *std::get_if<int>(&parsed);
    if (options->controlLine)
        return RunControlClient(*options->controlLine);

    Parts parts;
    std::string error;
    if (!FindParts(*options, &parts, &error)) {
        std::fprintf(stderr, "kyt_sandbox: %s\n", error.c_str());
        return kExitSandboxFailed;
    }
    int status;
    int signal;
    {
        Sandbox sandbox(*options, parts);
        status = sandbox.Run();
        signal = sandbox.Signal();
    } // every file gone
    if (signal)
        EndBy(signal, status);
    return status;
}
