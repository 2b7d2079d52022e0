// Several readers from several threads: operations on different readers run
// in parallel, operations on one reader are serialised and each caller gets
// its own answer.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ccid.h"
#include "reader_rig.h"

namespace {

using kytsim::Bytes;
using namespace std::chrono_literals;

// Exchanges with different readers run at the same time.  Each reader holds
// its answer until the commands of all three have reached their readers,
// which happens only when no exchange waits for another one to end; were
// they serialised, the first reader would give up waiting and answer 6F 00.
TEST(Concurrency, DifferentReadersOverlapInTime)
{
    constexpr int kReaders = 3;
    std::mutex mutex;
    std::condition_variable changed;
    int arrived = 0;
    auto heldUntilAllArrive = [&](uint8_t, const Bytes &) -> std::optional<Bytes> {
        std::unique_lock<std::mutex> lock(mutex);
        arrived++;
        changed.notify_all();
        if (!changed.wait_for(lock, 60s, [&] { return arrived == kReaders; }))
            return Bytes{0x6F, 0x00};
        return Bytes{0x90, 0x00};
    };

    std::unique_ptr<kytsim::SimReader> sims[kReaders];
    ReaderHandle handles[kReaders];
    for (int i = 0; i < kReaders; i++) {
        sims[i] = rig::StartSim();
        ASSERT_TRUE(sims[i]);
        handles[i] = rig::Open(*sims[i]);
        ASSERT_NE(handles[i], nullptr);
        sims[i]->SetEscapeHandler(heldUntilAllArrive);
        // The held acknowledge must not read as a lost one.
        KYT_TIMEOUTS patient = {120000, 0, 120000, 0};
        ASSERT_EQ(KYT_SetTimeouts(handles[i], &patient), 0UL);
    }

    Bytes answers[kReaders];
    std::vector<std::thread> threads;
    for (int i = 0; i < kReaders; i++) {
        threads.emplace_back([&, i] {
            const unsigned char command[] = {0xA0, static_cast<unsigned char>(i)};
            unsigned char reply[8];
            KYT_ULONG returned = 0;
            EXPECT_EQ(
                KYT_Control(handles[i], 0, KYT_IOCTL_ESCAPE, command, sizeof command, reply, sizeof reply, &returned),
                0UL);
            answers[i] = Bytes(reply, reply + returned);
        });
    }
    for (std::thread &t : threads)
        t.join();

    for (int i = 0; i < kReaders; i++)
        EXPECT_EQ(answers[i], (Bytes{0x90, 0x00})) << "reader " << i << " answered before all commands were in";
    for (ReaderHandle handle : handles)
        EXPECT_EQ(KYT_Close(handle), 0UL);
}

TEST(Concurrency, ThreadsSharingOneReaderGetTheirOwnAnswers)
{
    auto sim = rig::StartSim();
    ASSERT_TRUE(sim);
    for (unsigned slot = 0; slot < 3; slot++)
        sim->InsertCard(slot, rig::EchoCard());
    ReaderHandle handle = rig::Open(*sim);
    ASSERT_NE(handle, nullptr);
    for (KYT_ULONG slot = 0; slot < 3; slot++) {
        KYT_ULONG length = 64;
        ASSERT_EQ(KYT_PowerOnIcc(handle, slot, nullptr, &length), 0UL);
    }
    sim->ClearLog();

    constexpr int kThreads = 6, kRounds = 20;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; round++) {
                const unsigned char apdu[] = {0x80, 0x10, static_cast<unsigned char>(t),
                                              static_cast<unsigned char>(round), 0x00};
                unsigned char response[16];
                KYT_ULONG length = sizeof(response);
                KYT_ULONG slot = static_cast<KYT_ULONG>(t % 3);
                if (KYT_ExchangeApdu(handle, slot, apdu, sizeof(apdu), response, &length) != 0 ||
                    Bytes(response, response + length) !=
                        Bytes{apdu[0], apdu[1], apdu[2], apdu[3], apdu[4], 0x90, 0x00})
                    wrong++;
                KYT_ULONG status = 0;
                if (KYT_GetIccStatus(handle, slot, &status) != 0 || status != KYT_ICC_POWERED)
                    wrong++;
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);

    // On the line, every command is answered before the next one starts, and
    // no two consecutive messages share a sequence number.
    std::vector<Bytes> commands = sim->Commands();
    ASSERT_EQ(commands.size(), static_cast<size_t>(2 * kThreads * kRounds));
    for (size_t i = 1; i < commands.size(); i++)
        EXPECT_EQ(commands[i][CCID_OFFSET_SEQ], static_cast<uint8_t>(commands[i - 1][CCID_OFFSET_SEQ] + 1));
    int outstanding = 0;
    for (const kytsim::LogEntry &entry : sim->Log()) {
        if (entry.bytes.size() <= 4)
            continue; // acknowledges
        outstanding += entry.direction == kytsim::Direction::HostToReader ? 1 : -1;
        EXPECT_GE(outstanding, 0);
        EXPECT_LE(outstanding, 1);
    }
    EXPECT_EQ(KYT_Close(handle), 0UL);
}

} // namespace
