// Helpers for tests that open the library on a simulated reader.
#ifndef KYT_TESTS_READER_RIG_H
#define KYT_TESTS_READER_RIG_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "kyt.h"
#include "sim_reader.h"

namespace rig {

// Starts a simulated reader; fails the test (and returns null) if it cannot.
std::unique_ptr<kytsim::SimReader> StartSim(const kytsim::Config &config = kytsim::Config());

// Opens the library on the simulator; fails the test and returns null on error.
ReaderHandle Open(kytsim::SimReader &sim);

// The card's ATR from KYT_PowerOnIcc on the slot, and the response to an
// APDU from KYT_ExchangeApdu; both empty unless *status is KYT_SUCCESS.
kytsim::Bytes PowerOn(ReaderHandle handle, KYT_ULONG slot, KYT_STATUS *status);
kytsim::Bytes Exchange(ReaderHandle handle, KYT_ULONG slot, const kytsim::Bytes &apdu, KYT_STATUS *status);

// Sets short link timeouts so that tests waiting for silence stay fast.
void ShortenTimeouts(ReaderHandle handle, KYT_ULONG statusMs = 150, KYT_ULONG responseMs = 150);

// Where the reader stands with one exchange since its log was last cleared:
// the command frame in, its acknowledge sent (4 bytes), a response sent.
struct ExchangeProgress {
    bool commandIn = false;
    bool acknowledged = false;
    bool answered = false;
};
ExchangeProgress ProgressOf(const kytsim::SimReader &sim);

// Waits until `reached` holds for the reader's progress; false when it
// does not within `limit`, which is there only so that nothing hangs.
bool AwaitProgress(const kytsim::SimReader &sim, bool (*reached)(const ExchangeProgress &),
                   std::chrono::milliseconds limit = std::chrono::seconds(30));

// CCID messages of the given type that reached the reader.
std::vector<kytsim::Bytes> CommandsOfType(const kytsim::SimReader &sim, uint8_t type);

// Number of open file descriptors of this process.
int OpenDescriptorCount();

// Bytes of a hexadecimal text such as "3B 00".
kytsim::Bytes Hex(const char *text);

// A T=0 card with a valid 19-byte ATR that answers 90 00.
kytsim::Card PlainCard();

// The same card answering every APDU with the APDU itself and 90 00, so a
// caller can tell its own answer from anyone else's.
kytsim::Card EchoCard();

} // namespace rig

#endif
