// The real kyt_sim program with the library open on its port: started with
// the test's arguments, its console on a pipe, and at the end closed and
// stopped with SIGTERM, from which it must come out with exit status 0.
#ifndef KYT_TESTS_SIM_RIG_H
#define KYT_TESTS_SIM_RIG_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kyt.h"
#include "sim_program.h"

namespace rig {

// The part of a kyt_sim status line after "; NAME: " up to the next "; ".
std::string StatusPart(const std::string &status, const std::string &name);

// How a SimRig starts kyt_sim and the library.
struct SimOptions {
    Input input = Input::Pipe;         // Pipe for Ask
    Errors errors = Errors::Inherited; // Separate for AwaitError and ErrorText
    bool open = true;                  // the library opened on the port
    KYT_ULONG timeoutMs = 0;           // both link timeouts; 0 keeps the library's
    KYT_ULONG retries = 1;             // with timeoutMs
};

class SimRig {
public:
    using Bytes = std::vector<unsigned char>;

    SimRig() = default;
    explicit SimRig(const std::vector<std::string> &args, const SimOptions &options = {}) { Begin(args, options); }
    ~SimRig() { End(); }
    SimRig(const SimRig &) = delete;
    SimRig &operator=(const SimRig &) = delete;

    // Starts kyt_sim, waits for its ready line and opens the library as
    // `options` say; false (and a test failure) when any of it fails.
    bool Begin(const std::vector<std::string> &args, const SimOptions &options = {});
    // Opens the library on the port of a kyt_sim begun without it; false
    // (and a test failure) when it does not open.
    bool Open(KYT_ULONG timeoutMs = 0, KYT_ULONG retries = 1);
    // Closes the library and stops kyt_sim, both expected to go cleanly;
    // Begin may start another one then.
    void End();
    // Ends kyt_sim as a crash or an impatient user would: it gets no chance
    // to tidy up.
    void Kill();

    bool Ready() const { return handle_ != nullptr; }
    ReaderHandle Handle() const { return handle_; }
    const std::string &Port() const;
    uint16_t VpcdPort(unsigned slot) const { return program_ ? program_->VpcdPort(slot) : 0; }
    // The program itself: its standard error, its pid, its end.
    SimProgram &Process() { return *program_; }

    std::string Ask(const std::string &command) { return program_ ? program_->Ask(command) : ""; }

    KYT_STATUS PowerOn(KYT_ULONG slot);
    void PowerOff(KYT_ULONG slot) { EXPECT_EQ(KYT_PowerOffIcc(handle_, slot), KYT_SUCCESS); }
    // One APDU; the response in *response (empty unless it went).
    KYT_STATUS Exchange(KYT_ULONG slot, const Bytes &apdu, Bytes *response);
    // SELECT of the MF without response data, answered 90 00 when it goes.
    KYT_STATUS SelectMf();

    // The ATR of a power-on and the response to an APDU, empty unless they
    // went; without `status` they are expected to go.
    Bytes Atr(KYT_ULONG slot, KYT_STATUS *status = nullptr);
    Bytes Answer(KYT_ULONG slot, const Bytes &apdu, KYT_STATUS *status = nullptr);

protected:
    std::unique_ptr<SimProgram> program_;
    ReaderHandle handle_ = nullptr;
};

// A GoogleTest fixture of a SimRig with short link timeouts, ended in
// TearDown.
class SimProgramSession : public ::testing::Test, public SimRig {
protected:
    // Starts the program and opens the library with both link timeouts set
    // to `timeoutMs` and `retries` retries.
    void Start(const std::vector<std::string> &args, KYT_ULONG timeoutMs = 500, KYT_ULONG retries = 1)
    {
        ASSERT_TRUE(Begin(args, {Input::Pipe, Errors::Inherited, true, timeoutMs, retries}));
    }
    // Starts the program only; its port in *port.
    void Spawn(const std::vector<std::string> &args, std::string *port)
    {
        SimOptions options;
        options.open = false;
        ASSERT_TRUE(Begin(args, options));
        *port = Port();
    }
    void TearDown() override { End(); }
};

} // namespace rig

#endif
