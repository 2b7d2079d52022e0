// One sandbox: the simulated readers, the private pcscd that loads the KYT
// driver for them, and COMMAND, from the start to the last file removed.
//
//   kyt_sandbox ──┬── kyt_sim --link DIR/reader0  (stdin, stdout: the console)
//                 ├── ...                         one per reader
//                 ├── pcscd -f -c DIR/reader.conf  in its private /run
//                 └── COMMAND   PCSCLITE_CSOCK_NAME=DIR/pcscd/pcscd.comm
//                               KYT_SANDBOX_CONTROL=DIR/control
//
// DIR is a fresh folder in $TMPDIR (or /tmp), readable by the user only.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/types.h>

#include "control.h"
#include "options.h"
#include "parts.h"
#include "readiness.h"

namespace kytsandbox {

class Sandbox {
public:
    Sandbox(const Options &options, const Parts &parts);
    ~Sandbox();

    // Runs the whole sandbox; the status to exit with.  When a signal ended
    // it, Signal() names it, and kyt_sandbox ends by that signal.
    int Run();
    int Signal() const { return endSignal_; }

private:
    using Clock = std::chrono::steady_clock;

    struct Process {
        pid_t pid = -1;
        bool ended = false;
        int status = 0;
        bool Running() const { return pid > 0 && !ended; }
    };
    struct Sim {
        Process process;
        int in = -1;  // its console's input
        int out = -1; // its console's output
        std::string output;
        bool ready = false;
    };

    // The steps, each false (with a message said) when the sandbox cannot go on.
    bool Prepare();
    bool StartSims();
    bool StartPcscd();
    bool WaitUntilReady();
    int RunCommand();
    int Supervise();
    void Shutdown();

    // Waits up to `timeoutMs` for anything to happen, and handles it.
    void Pump(int timeoutMs);
    void TakeSignals();
    void Reap();
    void ReadSim(size_t index);
    bool ToReader(unsigned reader, const std::string &line);

    // Why the sandbox cannot go on, if it cannot: a signal or a dead part.
    bool Interrupted() const;
    int PartEndedStatus();
    void Terminate(const std::vector<Process *> &group, int signal, std::chrono::milliseconds grace);
    void Report(const std::string &message, const std::string &log = "") const;
    std::string Path(const std::string &name) const { return folder_ + "/" + name; }

    const Options &options_;
    const Parts &parts_;
    Clock::time_point start_;
    std::string folder_;
    int signalFd_ = -1;
    int endSignal_ = 0;
    bool signalFromTerminal_ = false;
    std::vector<Sim> sims_;
    Process pcscd_;
    Process command_;
    ControlServer control_;
    Readiness readiness_;
};

} // namespace kytsandbox
