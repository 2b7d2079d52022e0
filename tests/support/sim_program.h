// The kyt_sim program, started by a test as people start it: with the
// standard input the test asks for, its standard output on a pipe.
#ifndef KYT_TESTS_SIM_PROGRAM_H
#define KYT_TESTS_SIM_PROGRAM_H

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace rig {

// What the program gets as its standard input.
enum class Input {
    Inherited, // the test's own
    Pipe,      // a pipe whose write end the test holds
    Null,      // /dev/null: at its end from the start
    Closed,    // no descriptor 0 at all
};

// Where the program's standard error goes.
enum class Errors {
    Inherited, // the test's own
    Merged,    // into `out`, with the standard output
    Separate,  // a pipe of its own, `err`
};

struct Program {
    pid_t pid = -1;
    FILE *out = nullptr; // its standard output
    int in = -1;         // the write end of its standard input, with Input::Pipe
    int err = -1;        // the read end of its standard error, with Errors::Separate
};

// Starts kyt_sim with these arguments; pid -1 when it cannot be started.
Program Spawn(const std::vector<std::string> &args, Input input = Input::Inherited, Errors errors = Errors::Inherited);

// Exit status of the program, or -1 if it ended by a signal or did not end
// within the wait (a bound only so that a program that hangs cannot hang the
// test; it is killed then).
int ExitStatus(pid_t pid, std::chrono::milliseconds wait);

// Exit status of the program as above; its pipes are closed.
int Wait(Program &program, std::chrono::milliseconds wait = std::chrono::seconds(30));

// The port the program announces on its first line, or "" (and a test
// failure) when the line is not the announcement.
std::string ReadyPort(Program &program);

// Everything left on a stream, up to its end.
std::string ReadAll(FILE *file);

// kyt_sim with its output read up to the ready line (and the vpcd slots'
// lines before it).  By default its standard input is at its end and its
// standard error is collected for the test to look at; with Input::Pipe the
// test talks to its console (Ask), and with Errors::Inherited what it
// reports goes to the test's own standard error.
class SimProgram {
public:
    explicit SimProgram(const std::vector<std::string> &args, Input input = Input::Null,
                        Errors errors = Errors::Separate);
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
    // One command line on the console (Input::Pipe) and its one-line answer
    // without the newline; "" when none comes.
    std::string Ask(const std::string &command);
    // Ends the standard input (Input::Pipe): the console sees its end.
    void CloseInput();

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
    bool Running() const { return program_.pid > 0; }
    pid_t Pid() const { return program_.pid; }

private:
    bool ReadOutputLine(std::string *line);
    void CollectError(int waitMs);

    Program program_;
    int out_ = -1; // read raw, with a bound on each wait
    std::string outBuffer_;
    std::string errText_;
    std::string path_;
    std::map<unsigned, uint16_t> vpcdPorts_;
};

} // namespace rig

#endif
