// Whether the private pcscd is ready: it lists the sandbox's readers and
// knows, for every slot, whether a card is in it.
#pragma once

#include <string>

namespace kytsandbox {

// The name pcscd gives the sandbox's readers ("KYT Sim 00 00" is slot 0 of
// the first, "KYT Sim 01 00" slot 0 of the second).
constexpr char kFriendlyName[] = "KYT Sim";

class Readiness {
public:
    explicit Readiness(unsigned readers) : readers_(readers) {}

    // One look through pcsc-lite (at the socket PCSCLITE_CSOCK_NAME names);
    // true once two looks in a row have seen every reader with all its slots
    // settled, so that a reader still adding slots is not taken as ready.
    bool Look();

    // What the last look saw, for a message when the sandbox gives up.
    const std::string &Seen() const { return seen_; }

private:
    unsigned readers_;
    std::string previous_;
    std::string seen_;
};

} // namespace kytsandbox
