// The simulated reader's recorder hook, with the library on its pty: what
// the recorder is told, and that the reader does not hold its lock while the
// recorder works.
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>

#include <gtest/gtest.h>

#include "iso_card.h"
#include "reader_rig.h"

namespace {

using kytsim::Bytes;
using namespace std::chrono_literals;

// Keeps what it is told; while held, it makes the reader wait in Exchanged.
class ListRecorder : public kytsim::CardRecorder {
public:
    struct Event {
        unsigned slot;
        Bytes command; // the ATR for a power-on
        Bytes response;
        bool operator==(const Event &other) const
        {
            return slot == other.slot && command == other.command && response == other.response;
        }
    };

    void PoweredOn(unsigned slot, const Bytes &atr) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back({slot, atr, {}});
    }
    void Exchanged(unsigned slot, const Bytes &command, const Bytes &response) override
    {
        std::unique_lock<std::mutex> lock(mutex_);
        events_.push_back({slot, command, response});
        waiting_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return !held_; });
        waiting_ = false;
    }
    void Hold(bool held)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        held_ = held;
        changed_.notify_all();
    }
    // Whether the reader came to wait in Exchanged (bounded only so that
    // a broken reader cannot hang the test).
    bool AwaitWaiting()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, 30s, [&] { return waiting_; });
    }
    std::vector<Event> Events()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool held_ = false;
    bool waiting_ = false;
    std::vector<Event> events_;
};

// Whole APDUs both ways, whatever the chaining on the line; a card that does
// not answer is not recorded.
TEST(CardRecorder, IsToldWholeApdusAndTheAtrsOfCardsThatAnswer)
{
    kytsim::Config config;
    config.maxResponseBlock = 100;
    auto sim = rig::StartSim(config);
    ASSERT_TRUE(sim);
    auto recorder = std::make_shared<ListRecorder>();
    sim->SetRecorder(recorder);
    sim->InsertCard(0, rig::EchoCard());
    kytsim::Card mute = rig::PlainCard();
    mute.mute = true;
    sim->InsertCard(1, mute);
    ReaderHandle handle = rig::Open(*sim);
    ASSERT_NE(handle, nullptr);

    KYT_STATUS status;
    Bytes atr = rig::PowerOn(handle, 0, &status);
    ASSERT_EQ(status, KYT_SUCCESS);
    Bytes apdu(600); // three blocks each way on the line
    for (size_t i = 0; i < apdu.size(); i++)
        apdu[i] = static_cast<uint8_t>(i * 7);
    Bytes response = rig::Exchange(handle, 0, apdu, &status);
    ASSERT_EQ(status, KYT_SUCCESS);
    rig::PowerOn(handle, 1, &status);
    EXPECT_EQ(status, KYT_ERR_UNRESPONSIVE_CARD);
    EXPECT_EQ(recorder->Events(), (std::vector<ListRecorder::Event>{{0, atr, {}}, {0, apdu, response}}));
    EXPECT_EQ(KYT_Close(handle), KYT_SUCCESS);
}

// A recorder that takes its time holds up the exchange it records, not the
// reader's other callers.
TEST(CardRecorder, TheReaderIsNotLockedWhileTheRecorderWorks)
{
    auto sim = rig::StartSim();
    ASSERT_TRUE(sim);
    auto recorder = std::make_shared<ListRecorder>();
    sim->SetRecorder(recorder);
    sim->InsertCard(0, kytsim::DemoT1Card());
    ReaderHandle handle = rig::Open(*sim);
    ASSERT_NE(handle, nullptr);
    KYT_STATUS status;
    rig::PowerOn(handle, 0, &status);
    ASSERT_EQ(status, KYT_SUCCESS);

    recorder->Hold(true);
    auto exchange = std::async(std::launch::async, [&] {
        KYT_STATUS exchanged;
        return rig::Exchange(handle, 0, rig::Hex("00 A4 00 0C 02 3F 00"), &exchanged);
    });
    ASSERT_TRUE(recorder->AwaitWaiting());
    // Each of these takes the reader's lock.  A reader that kept it would
    // keep them waiting until the recorder is let go.
    auto others = std::async(std::launch::async, [&] {
        bool powered = sim->CardPowered(0);
        sim->InsertCard(1, kytsim::DemoT0Card());
        return powered && sim->CardPresent(1);
    });
    bool answered = others.wait_for(30s) == std::future_status::ready;
    recorder->Hold(false);
    EXPECT_TRUE(answered) << "the reader's lock was held while the recorder worked";
    EXPECT_TRUE(others.get());
    EXPECT_EQ(exchange.get(), rig::Hex("90 00"));
    EXPECT_EQ(KYT_Close(handle), KYT_SUCCESS);
}

} // namespace
