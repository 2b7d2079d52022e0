#include "sandbox.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <fcntl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "exit_status.h"
#include "private_run.h"
#include "spawn.h"

namespace kytsandbox {

namespace {

using namespace std::chrono_literals;

// Generous, for slow machines and emulators: kyt_sim is ready in
// milliseconds, pcscd with its readers in well under a second.
constexpr auto kSimStartLimit = 10s;
constexpr auto kPcscdStartLimit = 30s;
constexpr int kReadyLookMs = 50;
int OpenLog(const std::string &path)
{
    return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
}

} // namespace

Sandbox::Sandbox(const Options &options, const Parts &parts)
    : options_(options), parts_(parts), start_(Clock::now()),
      control_(options.readers, [this](unsigned reader, const std::string &line) { return ToReader(reader, line); }),
      readiness_(options.readers)
{
}

Sandbox::~Sandbox()
{
    for (Sim &sim : sims_) {
        for (int fd : {sim.in, sim.out})
            if (fd >= 0)
                close(fd);
    }
    if (signalFd_ >= 0)
        close(signalFd_);
    if (!folder_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
}

int Sandbox::Run()
{
    int status = kExitSandboxFailed;
    if (Prepare() && StartSims() && StartPcscd() && WaitUntilReady())
        status = RunCommand();
    if (endSignal_ && options_.verbose)
        Report(std::string("ended by ") + strsignal(endSignal_));
    Shutdown();
    if (options_.verbose)
        Report("stopped");
    return status;
}

// The signals that end the sandbox come through a descriptor, so that the
// one loop waits for them, for the parts and for control clients at once.
bool Sandbox::Prepare()
{
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD})
        sigaddset(&signals, signal);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN); // a dead kyt_sim's console is an error, not an end
    signalFd_ = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd_ < 0) {
        Report(std::string("signalfd: ") + std::strerror(errno));
        return false;
    }
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kyt-sandbox.XXXXXX";
    if (!mkdtemp(pattern.data())) {
        Report("cannot make a folder like " + pattern + ": " + std::strerror(errno));
        return false;
    }
    folder_ = pattern;
    std::string error;
    if (mkdir(Path("pcscd").c_str(), 0700) != 0 || !control_.Listen(Path("control"), &error)) {
        Report(error.empty() ? "cannot make " + Path("pcscd") + ": " + std::strerror(errno) : error);
        return false;
    }
    setenv("PCSCLITE_CSOCK_NAME", Path("pcscd/pcscd.comm").c_str(), 1);
    setenv("KYT_SANDBOX_CONTROL", Path("control").c_str(), 1);
    setenv("KYT_SANDBOX_READERS", std::to_string(options_.readers).c_str(), 1);
    return true;
}

bool Sandbox::StartSims()
{
    sims_.resize(options_.readers);
    for (size_t i = 0; i < sims_.size(); i++) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
            Report(std::string("pipe: ") + std::strerror(errno));
            return false;
        }
        sims_[i].in = in[1];
        sims_[i].out = out[0];
        std::string log = Path("sim" + std::to_string(i) + ".log");
        Launch launch;
        launch.argv = {parts_.sim, "--link", Path("reader" + std::to_string(i))};
        launch.argv.insert(launch.argv.end(), options_.simArgs.begin(), options_.simArgs.end());
        launch.in = in[0];
        launch.out = out[1];
        launch.err = OpenLog(log);
        launch.part = true;
        std::string error;
        sims_[i].process.pid = Spawn(launch, &error);
        for (int fd : {in[0], out[1], launch.err})
            close(fd);
        if (sims_[i].process.pid < 0) {
            Report("cannot start kyt_sim: " + error);
            return false;
        }
    }
    auto deadline = Clock::now() + kSimStartLimit;
    for (;;) {
        bool all = true;
        for (size_t i = 0; i < sims_.size(); i++) {
            if (sims_[i].process.ended) {
                Report("the simulated reader " + std::to_string(i) + " did not start (" +
                           DescribeStatus(sims_[i].process.status) + ")",
                       Path("sim" + std::to_string(i) + ".log"));
                return false;
            }
            all = all && sims_[i].ready;
        }
        if (all)
            return true;
        if (endSignal_)
            return false;
        if (Clock::now() > deadline) {
            Report("the simulated readers did not start within 10 s");
            return false;
        }
        Pump(100);
    }
}

// pcscd reads the sandbox's reader.conf only: one entry per simulated
// reader, by its link.
bool Sandbox::StartPcscd()
{
    std::ofstream conf(Path("reader.conf"));
    for (size_t i = 0; i < sims_.size(); i++) {
        conf << "FRIENDLYNAME \"" << kFriendlyName << "\"\n"
             << "DEVICENAME   " << Path("reader" + std::to_string(i)) << "\n"
             << "LIBPATH      " << parts_.handler << "\n\n";
    }
    conf.close();
    if (!conf) {
        Report("cannot write " + Path("reader.conf"));
        return false;
    }
    PrivateRun run{Path("pcscd"), parts_.usbDrivers, parts_.handler, getuid(), getgid()};
    Launch launch;
    launch.argv = {parts_.pcscd, "--foreground", "--config", Path("reader.conf")};
    launch.out = launch.err = OpenLog(Path("pcscd.log"));
    launch.part = true;
    launch.prepare = [&run] { return EnterPrivateRun(run); };
    std::string error;
    pcscd_.pid = Spawn(launch, &error);
    close(launch.out);
    if (pcscd_.pid < 0) {
        Report("cannot start pcscd: " + error);
        return false;
    }
    return true;
}

bool Sandbox::WaitUntilReady()
{
    auto deadline = Clock::now() + kPcscdStartLimit;
    while (!readiness_.Look()) {
        if (Interrupted())
            return false;
        if (pcscd_.ended) {
            Report("pcscd did not start (" + DescribeStatus(pcscd_.status) + ")", Path("pcscd.log"));
            return false;
        }
        if (Clock::now() > deadline) {
            Report("pcscd did not show the readers within 30 s: " + readiness_.Seen(), Path("pcscd.log"));
            return false;
        }
        Pump(kReadyLookMs);
    }
    if (options_.verbose) {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_).count();
        Report(std::to_string(options_.readers) + (options_.readers == 1 ? " reader" : " readers") + " ready in " +
               std::to_string(ms) + " ms; PCSCLITE_CSOCK_NAME=" + Path("pcscd/pcscd.comm"));
    }
    return true;
}

int Sandbox::RunCommand()
{
    Launch launch;
    launch.argv = options_.command;
    if (launch.argv.empty()) {
        const char *shell = std::getenv("SHELL");
        launch.argv = {shell && *shell ? shell : "/bin/sh"};
        Report("a shell with " + std::to_string(options_.readers) + " simulated KYT reader" +
               (options_.readers == 1 ? "" : "s") + " behind a private pcscd; \"kyt_sandbox --control " +
               "remove 0\" and the like drive the cards; leave it with exit or Ctrl-D");
    }
    std::string error;
    bool notFound = false;
    command_.pid = Spawn(launch, &error, &notFound);
    if (command_.pid < 0) {
        Report(notFound ? launch.argv[0] + ": command not found" : error);
        return notFound ? kExitNotFound : kExitCannotRun;
    }
    return Supervise();
}

int Sandbox::Supervise()
{
    for (;;) {
        if (command_.ended)
            return ShellStatus(command_.status);
        if (endSignal_)
            return 128 + endSignal_;
        if (int status = PartEndedStatus())
            return status;
        Pump(-1);
    }
}

} // namespace kytsandbox
