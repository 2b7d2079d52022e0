// The kyt_sim program started by a test, as people start it: its standard
// output read up to the ready line (and the vpcd slots' lines before it),
// its standard error collected for the test to look at.
#ifndef KYT_TESTS_SIM_PROGRAM_H
#define KYT_TESTS_SIM_PROGRAM_H

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace rig {

class SimProgram {
public:
    // Starts kyt_sim with `args`, its standard input at its end.
    explicit SimProgram(const std::vector<std::string> &args);
    ~SimProgram(); // kills the program if it still runs
    SimProgram(const SimProgram &) = delete;
    SimProgram &operator=(const SimProgram &) = delete;

    // Reads the standard output up to the ready line: true when it came,
    // false (and a test failure) when the program ended or said something
    // else.
    bool AwaitReady();
    const std::string &PortPath() const { return path_; }
    // The port that a vpcd slot announced, 0 for none.
    uint16_t VpcdPort(unsigned slot) const;
    // The rest of the standard output, up to its end.
    std::string Output();

    // Waits until the standard error holds `text`; false when it does not
    // within `limit`, which is there only so that nothing hangs.
    bool AwaitError(const std::string &text, std::chrono::milliseconds limit = std::chrono::seconds(30));
    // The standard error so far.
    std::string ErrorText();

    // Sends `signal` and waits for the end: the exit status, or -1 when the
    // program ended by a signal or did not end within `limit` (it is killed
    // then).
    int Stop(int signal, std::chrono::milliseconds limit = std::chrono::seconds(30));
    // The exit status once the program ends on its own (as Stop).
    int Wait(std::chrono::milliseconds limit = std::chrono::seconds(30));
    bool Running() const { return pid_ > 0; }

private:
    bool ReadOutputLine(std::string *line);
    void CollectError(int waitMs);

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string outBuffer_;
    std::string errText_;
    std::string path_;
    std::map<unsigned, uint16_t> vpcdPorts_;
};

} // namespace rig

#endif
