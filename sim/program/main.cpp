// kyt_sim: a simulated KYT reader on a pseudo-terminal, for trying the
// library and kyt_test without hardware.
//
// The main thread sets the reader up, announces it and waits for SIGINT,
// SIGTERM or SIGHUP; then it stops the command channel, the slots waiting
// for card emulators and the reader, in that order, and exits with status 0.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <variant>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include "console.h"
#include "options.h"
#include "rules_recorder.h"
#include "sim_reader.h"
#include "vpcd_slots.h"

namespace {

using kytsim::program::Options;

// A program started with standard input, output or error closed would hand
// those numbers to the pty or the console's pipe, and then read its own
// line or print onto it.  /dev/null takes their place first.
void FillStandardDescriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        int null = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
}

// The signals that end the program, blocked in every thread (the threads
// inherit the mask) so that they reach only the sigwait in main.
sigset_t BlockEndSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return signals;
}

// Inserts the cards, sets the faults and the recorder up, opens the log
// file when one is asked for and starts the reader; false after printing
// why not.
bool StartReader(kytsim::SimReader &reader, const Options &options, kytsim::program::FrameLogFile &logFile)
{
    if (!options.record.empty()) {
        reader.SetRecorder(std::make_shared<kytsim::RulesRecorder>(
            options.record, [](const std::string &why) { std::fprintf(stderr, "kyt_sim: %s\n", why.c_str()); }));
    }
    for (const auto &[slot, card] : options.cards) {
        if (card)
            reader.InsertCard(slot, *card);
    }
    kytsim::program::SetUpFaults(reader, options.faults);
    std::string error;
    if (!options.logFile.path.empty()) {
        if (!logFile.Open(options.logFile, &error)) {
            std::fprintf(stderr, "kyt_sim: cannot write the log %s\n", error.c_str());
            return false;
        }
        reader.SetLogSink([&logFile](const kytsim::LogEntry &entry) { logFile.Write(entry); });
    }
    if (!reader.Start(&error)) {
        std::fprintf(stderr, "kyt_sim: cannot start the simulated reader: %s\n", error.c_str());
        return false;
    }
    return true;
}

// Starts listening for card emulators and announces each slot's port;
// false after printing why not.
bool StartVpcdSlots(kytsim::program::VpcdSlots &vpcd)
{
    std::string error;
    if (!vpcd.Start(&error)) {
        std::fprintf(stderr, "kyt_sim: %s\n", error.c_str());
        return false;
    }
    for (const auto &[slot, port] : vpcd.Ports())
        std::printf("Slot %u waits for a card emulator on 127.0.0.1:%u\n", slot, static_cast<unsigned>(port));
    return true;
}

// The path to announce: the link when one is asked for, else the pty.
bool MakeLink(const kytsim::SimReader &reader, const std::string &link, std::string *path)
{
    *path = reader.PortPath();
    if (link.empty())
        return true;
    if (symlink(reader.PortPath().c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "kyt_sim: cannot create the link %s: %s\n", link.c_str(), std::strerror(errno));
        return false;
    }
    *path = link;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    FillStandardDescriptors();
    std::variant<Options, int> parsed = kytsim::program::ParseOptions(argc, argv);
    const Options *chosen = std::get_if<Options>(&parsed);
    if (!chosen)
        return *std::get_if<int>(&parsed);
    const Options &options = *chosen;

    sigset_t signals = BlockEndSignals();
    kytsim::program::FrameLogFile logFile; // outlives the reader that writes to it
    kytsim::SimReader reader(options.config);
    std::string path;
    kytsim::program::VpcdSlots vpcd(reader, options.vpcd);
    if (!StartReader(reader, options, logFile) || !StartVpcdSlots(vpcd) || !MakeLink(reader, options.link, &path))
        return 1;
    std::printf("Simulated reader ready on %s\n", path.c_str());
    std::fflush(stdout);

    // Started in the background of an interactive shell, a read of the
    // terminal fails instead of stopping the reader.
    std::signal(SIGTTIN, SIG_IGN);
    kytsim::program::Console console(reader, kytsim::ModelSlots(options.config.model));
    std::string error;
    if (!console.Start(&error))
        std::fprintf(stderr, "kyt_sim: no commands on standard input: %s\n", error.c_str());

    int received = 0;
    sigwait(&signals, &received);

    console.Stop();
    vpcd.Stop();
    reader.Stop();
    if (!options.link.empty())
        unlink(options.link.c_str());
    return 0;
}
