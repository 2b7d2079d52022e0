// A program run to its end by a test, as a person runs it: its standard
// input from a file holding the given text, its standard output and standard
// error gathered together.
#ifndef KYT_TESTS_PROGRAM_RUN_H
#define KYT_TESTS_PROGRAM_RUN_H

#include <chrono>
#include <string>
#include <vector>

namespace rig {

struct ProgramRun {
    std::string output; // standard output and standard error
    int exitStatus = -1;
    bool timedOut = false;
};

// Runs args[0] with the arguments that follow and `input` as its standard
// input, with `environment` ("NAME=value") added to the test's own.  The
// program is killed after `limit`, which is there only so that a program
// that hangs cannot hang the test.
ProgramRun RunProgram(const std::vector<std::string> &args, const std::string &input,
                      const std::vector<std::string> &environment = {},
                      std::chrono::milliseconds limit = std::chrono::seconds(60));

} // namespace rig

#endif
