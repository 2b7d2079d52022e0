// A GoogleTest fixture: the real kyt_sim program with its standard input
// on a pipe, and the library open on its port.
#ifndef KYT_TESTS_SIM_PROGRAM_SESSION_H
#define KYT_TESTS_SIM_PROGRAM_SESSION_H

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kyt.h"
#include "sim_program.h"

namespace rig {

// The part of a kyt_sim status line after "; NAME: " up to the next "; ".
std::string StatusPart(const std::string &status, const std::string &name);

// Ended with SIGTERM, and exit status 0 expected.
class SimProgramSession : public ::testing::Test {
protected:
    using Bytes = std::vector<unsigned char>;

    // Starts the program and opens the library with both link timeouts set
    // to `timeoutMs` and `retries` retries.
    void Start(const std::vector<std::string> &args, KYT_ULONG timeoutMs = 500, KYT_ULONG retries = 1);
    // Starts the program only; its port in *port.
    void Spawn(const std::vector<std::string> &args, std::string *port);
    void TearDown() override;

    std::string Ask(const std::string &command) { return rig::Ask(program_, command); }

    KYT_STATUS PowerOn(KYT_ULONG slot);
    // One APDU; the response in *response.
    KYT_STATUS Exchange(KYT_ULONG slot, const Bytes &apdu, Bytes *response);
    // SELECT of the MF without response data, on the demo card in slot 0.
    KYT_STATUS SelectMf();

    Program program_;
    ReaderHandle handle_ = nullptr;
};

} // namespace rig

#endif
