// kyt_sandbox's command line:
//
//   kyt_sandbox [kyt_sim options] [--readers N] [--verbose] [-- COMMAND [ARGS...]]
//   kyt_sandbox --control [reader K] LINE...
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace kytsandbox {

// pcscd offers at most 16 slots, and a KYT reader has up to 3.
constexpr unsigned kMaxReaders = 5;

struct Options {
    unsigned readers = 1;
    bool verbose = false;
    std::vector<std::string> simArgs; // given to every kyt_sim
    std::vector<std::string> command; // empty: the user's shell
    // Paths that replace the ones kyt_sandbox finds itself.
    std::string sim;
    std::string handler;
    std::string pcscd;
    // Set for --control: the line to send to a running sandbox.
    std::optional<std::string> controlLine;
};

// The options, or the status to exit with at once (after --help, or after
// a message on standard error).
std::variant<Options, int> ParseOptions(int argc, char **argv);

} // namespace kytsandbox
