// What happens while a sandbox runs: signals, parts that end, the readers'
// console output, control clients; and the end.
#include "sandbox.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>

#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include "exit_status.h"
#include "spawn.h"

namespace kytsandbox {

namespace {

using namespace std::chrono_literals;

// The whole end takes less than 2 s: COMMAND and pcscd stop together
// (pcscd closes each reader within 0.9 s), then the simulated readers.
constexpr auto kCommandGrace = 1000ms;
constexpr auto kSimGrace = 400ms;
// After SIGKILL, a process is gone as soon as the kernel has run it down.
constexpr auto kKillWait = 2000ms;

std::string LastLines(const std::string &path, size_t count)
{
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
        if (lines.size() > count)
            lines.erase(lines.begin());
    }
    std::string text;
    for (const std::string &line : lines)
        text += "  | " + line + "\n";
    return text;
}

bool StartsWith(const std::string &text, const char *prefix)
{
    return text.rfind(prefix, 0) == 0;
}

} // namespace

void Sandbox::Pump(int timeoutMs)
{
    std::vector<pollfd> fds = {{signalFd_, POLLIN, 0}};
    std::vector<size_t> simOf;
    for (size_t i = 0; i < sims_.size(); i++) {
        if (sims_[i].out >= 0) {
            fds.push_back({sims_[i].out, POLLIN, 0});
            simOf.push_back(i);
        }
    }
    size_t controlFrom = fds.size();
    control_.AddPollFds(&fds);
    if (poll(fds.data(), fds.size(), timeoutMs) <= 0)
        return;
    if (fds[0].revents)
        TakeSignals();
    for (size_t i = 1; i < controlFrom; i++) {
        if (fds[i].revents)
            ReadSim(simOf[i - 1]);
    }
    for (size_t i = controlFrom; i < fds.size(); i++) {
        if (fds[i].revents)
            control_.Handle(fds[i]);
    }
}

// A ^C or ^\ typed at the shell the sandbox runs is the shell's to take,
// as in any shell; sent with kill(1), typed while the sandbox starts, or
// typed at any other COMMAND, it ends the sandbox.
void Sandbox::TakeSignals()
{
    signalfd_siginfo info;
    while (read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        int signal = static_cast<int>(info.ssi_signo);
        if (signal == SIGCHLD) {
            Reap();
            continue;
        }
        bool fromTerminal = info.ssi_code == SI_KERNEL;
        bool shellRuns = options_.command.empty() && command_.Running();
        if (fromTerminal && shellRuns && (signal == SIGINT || signal == SIGQUIT))
            continue;
        if (!endSignal_) {
            endSignal_ = signal;
            signalFromTerminal_ = fromTerminal;
        }
    }
}

void Sandbox::Reap()
{
    int status;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        std::vector<Process *> all = {&pcscd_, &command_};
        for (Sim &sim : sims_)
            all.push_back(&sim.process);
        for (Process *process : all) {
            if (process->pid == pid) {
                process->ended = true;
                process->status = status;
            }
        }
    }
}

// kyt_sim's console writes its ready line, then one answer line per
// command; an answer goes to the control client that asked.
void Sandbox::ReadSim(size_t index)
{
    Sim &sim = sims_[index];
    char buffer[1024];
    ssize_t n = read(sim.out, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n <= 0) {
        close(sim.out);
        sim.out = -1;
        return;
    }
    sim.output.append(buffer, static_cast<size_t>(n));
    size_t end;
    while ((end = sim.output.find('\n')) != std::string::npos) {
        std::string line = sim.output.substr(0, end);
        sim.output.erase(0, end + 1);
        if (StartsWith(line, "Simulated reader ready"))
            sim.ready = true;
        else if (StartsWith(line, "ok") || StartsWith(line, "error"))
            control_.Answer(static_cast<unsigned>(index), line);
    }
    if (sim.output.size() > 4096) // no line of kyt_sim's is that long
        sim.output.clear();
}

bool Sandbox::ToReader(unsigned reader, const std::string &line)
{
    if (reader >= sims_.size() || sims_[reader].in < 0 || !sims_[reader].ready)
        return false;
    return write(sims_[reader].in, line.data(), line.size()) == static_cast<ssize_t>(line.size());
}

bool Sandbox::Interrupted() const
{
    return endSignal_ != 0;
}

// A part that ended while COMMAND ran: said, with its log, and given its
// own status.
int Sandbox::PartEndedStatus()
{
    for (size_t i = 0; i < sims_.size(); i++) {
        if (sims_[i].process.ended) {
            Report("the simulated reader " + std::to_string(i) +
                       " (kyt_sim) ended: " + DescribeStatus(sims_[i].process.status),
                   Path("sim" + std::to_string(i) + ".log"));
            return kExitSimEnded;
        }
    }
    if (pcscd_.ended) {
        Report("pcscd ended: " + DescribeStatus(pcscd_.status), Path("pcscd.log"));
        return kExitPcscdEnded;
    }
    return 0;
}

// Sends `signal` to each running process of the group, gives them `grace`
// to end, then kills what is left.
void Sandbox::Terminate(const std::vector<Process *> &group, int signal, std::chrono::milliseconds grace)
{
    auto running = [&group] {
        for (Process *process : group)
            if (process->Running())
                return true;
        return false;
    };
    for (Process *process : group) {
        if (process->Running() && signal)
            kill(process->pid, signal);
    }
    for (auto deadline = Clock::now() + grace; running() && Clock::now() < deadline;)
        Pump(20);
    for (Process *process : group) {
        if (process->Running())
            kill(process->pid, SIGKILL);
    }
    for (auto deadline = Clock::now() + kKillWait; running() && Clock::now() < deadline;)
        Pump(20);
}

// COMMAND and pcscd first, together: COMMAND is asked to end by the signal
// that ended the sandbox (unless the terminal gave it that already) or by
// SIGTERM when a part died; then the simulated readers, which remove their
// links.  The folder goes with the Sandbox.
void Sandbox::Shutdown()
{
    int toCommand = SIGTERM;
    if (endSignal_)
        toCommand = signalFromTerminal_ ? 0 : endSignal_;
    if (command_.Running() && toCommand)
        kill(command_.pid, toCommand);
    if (pcscd_.Running())
        kill(pcscd_.pid, SIGTERM);
    Terminate({&command_, &pcscd_}, 0, kCommandGrace);
    std::vector<Process *> sims;
    for (Sim &sim : sims_) {
        sims.push_back(&sim.process);
        if (sim.in >= 0)
            close(sim.in);
        sim.in = -1;
    }
    Terminate(sims, SIGTERM, kSimGrace);
}

void Sandbox::Report(const std::string &message, const std::string &log) const
{
    std::fprintf(stderr, "kyt_sandbox: %s\n", message.c_str());
    if (!log.empty())
        std::fprintf(stderr, "%s", LastLines(log, 15).c_str());
}

} // namespace kytsandbox
