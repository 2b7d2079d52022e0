// Concurrency stress: three readers with three threads each calling every
// exported function in a random mix, while another thread opens and closes
// further readers throughout.  Every answer is checked: each thread tags its
// APDUs and escape commands, so a response delivered to the wrong caller
// shows up as a mismatch, and on each reader's line every command carries
// the next sequence number (no number reused within an exchange).  Meant to
// run clean under ThreadSanitizer as well.
//
// KYT_STRESS_ROUNDS sets the calls per thread (default 150).
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ccid.h"
#include "reader_rig.h"

namespace {

using kytsim::Bytes;

constexpr int kReaders = 3, kThreadsPerReader = 3;

unsigned long Rounds()
{
    const char *value = std::getenv("KYT_STRESS_ROUNDS");
    return value != nullptr && *value != '\0' ? std::strtoul(value, nullptr, 10) : 150;
}

void StartEchoReader(std::unique_ptr<kytsim::SimReader> *sim)
{
    *sim = rig::StartSim();
    if (!*sim)
        return;
    for (unsigned slot = 0; slot < 3; slot++)
        (*sim)->InsertCard(slot, rig::EchoCard());
    (*sim)->SetEscapeHandler([](uint8_t, const Bytes &command) -> std::optional<Bytes> { return command; });
}

struct Counts {
    std::atomic<long> calls{0}, wrong{0};
};

// One call of a randomly chosen function on the thread's own slot; a wrong
// status or a wrong answer is counted.
void OneCall(std::mt19937 &random, ReaderHandle handle, KYT_ULONG slot, uint8_t tag, unsigned round, Counts &counts)
{
    counts.calls++;
    auto fail = [&] { counts.wrong++; };
    switch (random() % 10) {
    case 0:
    case 1:
    case 2: {
        const unsigned char apdu[] = {0x80, 0x30, tag, static_cast<unsigned char>(round),
                                      static_cast<unsigned char>(round >> 8)};
        unsigned char response[16];
        KYT_ULONG length = sizeof(response);
        if (KYT_ExchangeApdu(handle, slot, apdu, sizeof(apdu), response, &length) != 0 ||
            Bytes(response, response + length) != Bytes{apdu[0], apdu[1], apdu[2], apdu[3], apdu[4], 0x90, 0x00})
            fail();
        break;
    }
    case 3: {
        const unsigned char command[] = {0x20, tag, static_cast<unsigned char>(round)};
        unsigned char out[8];
        KYT_ULONG returned = 0;
        if (KYT_Control(handle, slot, KYT_IOCTL_ESCAPE, command, sizeof(command), out, sizeof(out), &returned) != 0 ||
            Bytes(out, out + returned) != Bytes(command, command + sizeof(command)))
            fail();
        break;
    }
    case 4: {
        KYT_ULONG status = 0;
        if (KYT_GetIccStatus(handle, slot, &status) != 0 || status != KYT_ICC_POWERED)
            fail();
        break;
    }
    case 5: { // a power cycle of the thread's own slot, then the protocol again
        unsigned char atr[64];
        KYT_ULONG length = sizeof(atr);
        KYT_ULONG active = 0;
        if (KYT_PowerOffIcc(handle, slot) != 0 || KYT_PowerOnIcc(handle, slot, atr, &length) != 0 ||
            length != rig::PlainCard().atr.size() || KYT_SetProtocol(handle, slot, KYT_PROTOCOL_T0, &active) != 0 ||
            active != KYT_PROTOCOL_T0)
            fail();
        break;
    }
    case 6: {
        KYT_ULONG slots = 0;
        if (KYT_GetNumSlots(handle, &slots) != 0 || slots != 3)
            fail();
        break;
    }
    case 7: {
        KYT_TIMEOUTS timeouts;
        if (KYT_GetTimeouts(handle, &timeouts) != 0 || KYT_SetTimeouts(handle, &timeouts) != 0)
            fail();
        break;
    }
    case 8: {
        KYT_ULONG baud = 0;
        if (KYT_GetBaudRate(handle, &baud) != 0 || (baud != 9600 && baud != 19200))
            fail();
        break;
    }
    default: { // both ends move together; calls of other threads go on at either speed
        KYT_ULONG target = (random() & 1) ? 19200 : 9600;
        if (KYT_SetBaudRate(handle, target) != 0)
            fail();
        break;
    }
    }
}

TEST(Stress, EveryFunctionFromManyThreadsWhileReadersComeAndGo)
{
    const unsigned long rounds = Rounds();
    std::unique_ptr<kytsim::SimReader> sims[kReaders];
    ReaderHandle handles[kReaders];
    for (int r = 0; r < kReaders; r++) {
        StartEchoReader(&sims[r]);
        ASSERT_TRUE(sims[r]);
        handles[r] = rig::Open(*sims[r]);
        ASSERT_NE(handles[r], nullptr);
        for (KYT_ULONG slot = 0; slot < 3; slot++) {
            KYT_ULONG length = 64;
            ASSERT_EQ(KYT_PowerOnIcc(handles[r], slot, nullptr, &length), 0UL);
        }
        sims[r]->ClearLog();
    }

    Counts counts;
    std::atomic<bool> done{false};
    std::atomic<long> churned{0}, churnWrong{0};
    // Further readers opened (by both name forms), used a little and closed.
    std::thread churn([&] {
        for (unsigned i = 0; !done || i < 3; i++) {
            std::unique_ptr<kytsim::SimReader> sim;
            StartEchoReader(&sim);
            if (!sim) {
                churnWrong++;
                return;
            }
            ReaderHandle handle = nullptr;
            KYT_STATUS status;
            if (i % 2 == 0) {
                status = KYT_OpenA(sim->PortPath().c_str(), &handle);
            } else {
                std::wstring wide(sim->PortPath().begin(), sim->PortPath().end());
                status = KYT_OpenW(wide.c_str(), &handle);
            }
            KYT_ULONG slots = 0, length = 64;
            if (status != 0 || KYT_GetNumSlots(handle, &slots) != 0 || slots != 3 ||
                KYT_PowerOnIcc(handle, i % 3, nullptr, &length) != 0)
                churnWrong++;
            if (handle != nullptr && KYT_Close(handle) != 0)
                churnWrong++;
            churned++;
        }
    });

    std::vector<std::thread> threads;
    for (int r = 0; r < kReaders; r++) {
        for (int t = 0; t < kThreadsPerReader; t++) {
            threads.emplace_back([&, r, t] {
                std::mt19937 random(static_cast<unsigned>(1000 * r + t));
                const uint8_t tag = static_cast<uint8_t>(16 * r + t);
                for (unsigned round = 0; round < rounds; round++)
                    OneCall(random, handles[r], static_cast<KYT_ULONG>(t), tag, round, counts);
            });
        }
    }
    for (std::thread &thread : threads)
        thread.join();
    done = true;
    churn.join();

    std::printf("stress: %ld calls, %ld wrong, %ld readers opened and closed beside them\n", counts.calls.load(),
                counts.wrong.load(), churned.load());
    EXPECT_EQ(counts.calls.load(), static_cast<long>(kReaders * kThreadsPerReader * rounds));
    EXPECT_EQ(counts.wrong.load(), 0);
    EXPECT_GE(churned.load(), 3);
    EXPECT_EQ(churnWrong.load(), 0);

    // On each line, command after command carries the next sequence number:
    // no exchange reused one, and no two exchanges interleaved.
    for (int r = 0; r < kReaders; r++) {
        std::vector<Bytes> commands = sims[r]->Commands();
        ASSERT_FALSE(commands.empty());
        for (size_t i = 1; i < commands.size(); i++)
            ASSERT_EQ(commands[i][CCID_OFFSET_SEQ], static_cast<uint8_t>(commands[i - 1][CCID_OFFSET_SEQ] + 1))
                << "reader " << r << ", command " << i;
        EXPECT_EQ(KYT_Close(handles[r]), 0UL);
    }
}

} // namespace
