// Signals delivered to the calling thread while the library waits for the
// reader (a program's timer, a child that ended, a profiler) must not make
// it send a command again: an APDU the card already runs would run twice.
// The waits go on after the signal and the exchange ends as if nothing had
// happened.
#include <pthread.h>

#include <chrono>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "ccid.h"
#include "reader_rig.h"
#include "signal_storm.h"

namespace {

using kytsim::Bytes;
using rig::ExchangeProgress;
using namespace std::chrono_literals;

struct SlowPhase {
    const char *what;
    std::chrono::milliseconds readerDelay;     // before the acknowledge
    std::chrono::milliseconds responseDelay;   // between acknowledge and response
    bool (*waiting)(const ExchangeProgress &); // the host is in this wait
};

const SlowPhase kSlowPhases[] = {
    {"slow acknowledge", 1500ms, 0ms, [](const ExchangeProgress &p) { return p.commandIn && !p.acknowledged; }},
    {"slow response", 0ms, 1500ms, [](const ExchangeProgress &p) { return p.acknowledged && !p.answered; }},
};

TEST(Signals, SignalsDuringTheWaitsSendTheCommandOnce)
{
    if (!rig::kSignalsBetweenThreadsWork)
        GTEST_SKIP() << rig::kSignalsSkipReason;
    auto sim = rig::StartSim();
    ASSERT_TRUE(sim);
    sim->InsertCard(0, rig::EchoCard());
    ReaderHandle handle = rig::Open(*sim);
    ASSERT_NE(handle, nullptr);
    KYT_ULONG atrLength = 64;
    ASSERT_EQ(KYT_PowerOnIcc(handle, 0, nullptr, &atrLength), 0UL);
    // Waits long enough for any machine; a retry stays possible, so that a
    // signal taken for a timeout would show as a second command frame.
    KYT_TIMEOUTS timeouts = {20000, 1, 20000, 1};
    ASSERT_EQ(KYT_SetTimeouts(handle, &timeouts), 0UL);

    for (const SlowPhase &phase : kSlowPhases) {
        SCOPED_TRACE(phase.what);
        sim->SetReaderDelay(phase.readerDelay);
        sim->SetResponseDelay(phase.responseDelay);
        sim->ClearLog();

        const unsigned char apdu[] = {0x80, 0xCA, 0x9F, 0x7F, 0x00};
        unsigned char response[16];
        KYT_ULONG length = sizeof response;
        KYT_STATUS status;
        unsigned sentWhileWaiting;
        {
            rig::SignalStorm storm(pthread_self(), 5ms, 60s, [&] { return phase.waiting(rig::ProgressOf(*sim)); });
            status = KYT_ExchangeApdu(handle, 0, apdu, sizeof apdu, response, &length);
            sentWhileWaiting = storm.SentDuring();
        }

        EXPECT_GT(sentWhileWaiting, 0u) << "no signal came during the wait";
        EXPECT_EQ(status, 0UL);
        EXPECT_EQ(Bytes(response, response + length), (Bytes{0x80, 0xCA, 0x9F, 0x7F, 0x00, 0x90, 0x00}));
        EXPECT_EQ(rig::CommandsOfType(*sim, PC_TO_RDR_XFRBLOCK).size(), 1u);
        EXPECT_EQ(sim->RepeatRequests(), 0u);
    }
    sim->SetReaderDelay(0ms);
    sim->SetResponseDelay(0ms);
    EXPECT_EQ(KYT_Close(handle), 0UL);
}

} // namespace
