// The kyt_sim program, started by a test as people start it: with the
// standard input the test asks for, its standard output on a pipe.
#ifndef KYT_TESTS_SIM_PROGRAM_H
#define KYT_TESTS_SIM_PROGRAM_H

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <sys/types.h>

namespace rig {

// What the program gets as its standard input.
enum class Input {
    Inherited, // the test's own
    Pipe,      // a pipe whose write end the test holds
    Null,      // /dev/null: at its end from the start
    Closed,    // no descriptor 0 at all
};

struct Program {
    pid_t pid = -1;
    FILE *out = nullptr;
    int in = -1; // the write end of its standard input, with Input::Pipe
};

// Starts kyt_sim with these arguments; pid -1 when it cannot be started.
Program Spawn(const std::vector<std::string> &args, Input input = Input::Inherited);

// Exit status of the program, or -1 if it ended by a signal or did not end
// within the wait (a bound only so that a program that hangs cannot hang the
// test; it is killed then).
int ExitStatus(pid_t pid, std::chrono::milliseconds wait);

// Exit status of the program as above; its pipes are closed.
int Wait(Program &program, std::chrono::milliseconds wait = std::chrono::seconds(30));

// The port the program announces on its first line, or "" (and a test
// failure) when the line is not the announcement.
std::string ReadyPort(Program &program);

std::string ReadAll(FILE *file);

// Sends one command line to a program started with Input::Pipe and returns
// its one-line answer without the newline ("" when none comes).
std::string Ask(Program &program, const std::string &command);

} // namespace rig

#endif
