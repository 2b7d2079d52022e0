// Cards of the simulated reader as the library meets them: the file-system
// cards starting afresh at each power-on, and cards whose answers come from
// a device of their own.
#include <cerrno>
#include <mutex>

#include <gtest/gtest.h>

#include "iso_card.h"
#include "reader_rig.h"

namespace {

using kytsim::Bytes;

TEST(SimCards, TheDemoCardStartsAfreshAtEachPowerOn)
{
    auto sim = rig::StartSim();
    ASSERT_TRUE(sim);
    sim->InsertCard(0, kytsim::DemoT1Card());
    ReaderHandle handle = rig::Open(*sim);
    ASSERT_NE(handle, nullptr);
    KYT_STATUS status;
    rig::PowerOn(handle, 0, &status);
    ASSERT_EQ(status, KYT_SUCCESS);
    EXPECT_EQ(rig::Exchange(handle, 0, rig::Hex("00 A4 00 0C 02 2F E2"), &status), rig::Hex("90 00"));
    EXPECT_EQ(rig::Exchange(handle, 0, rig::Hex("00 B0 00 00 02"), &status), rig::Hex("98 94 90 00"));
    // A power cycle, and the EF is no longer selected.
    EXPECT_EQ(KYT_PowerOffIcc(handle, 0), KYT_SUCCESS);
    rig::PowerOn(handle, 0, &status);
    ASSERT_EQ(status, KYT_SUCCESS);
    EXPECT_EQ(rig::Exchange(handle, 0, rig::Hex("00 B0 00 00 02"), &status), rig::Hex("69 86"));
    EXPECT_EQ(KYT_Close(handle), KYT_SUCCESS);
}

// The challenge is card state: EXTERNAL AUTHENTICATE takes it back once, and
// a power cycle forgets it.  The card's generator is not started again at
// power-on: the first challenge after it is a new one.
TEST(SimCards, APowerCycleForgetsTheChallenge)
{
    auto sim = rig::StartSim();
    ASSERT_TRUE(sim);
    sim->InsertCard(0, kytsim::DemoT0Card());
    ReaderHandle handle = rig::Open(*sim);
    ASSERT_NE(handle, nullptr);
    KYT_STATUS status;
    auto challenge = [&] {
        Bytes response = rig::Exchange(handle, 0, rig::Hex("00 84 00 00 08"), &status);
        EXPECT_EQ(response.size(), 10u);
        EXPECT_EQ(Bytes(response.end() - 2, response.end()), rig::Hex("90 00"));
        return Bytes(response.begin(), response.end() - 2);
    };
    auto authenticate = [&](const Bytes &cryptogram) {
        Bytes apdu = rig::Hex("00 82 00 00 08");
        apdu.insert(apdu.end(), cryptogram.begin(), cryptogram.end());
        return rig::Exchange(handle, 0, apdu, &status);
    };
    auto powerCycle = [&] {
        EXPECT_EQ(KYT_PowerOffIcc(handle, 0), KYT_SUCCESS);
        rig::PowerOn(handle, 0, &status);
        EXPECT_EQ(status, KYT_SUCCESS);
    };
    powerCycle();
    EXPECT_EQ(authenticate(Bytes(8)), rig::Hex("69 85")); // no challenge yet
    const Bytes first = challenge();
    EXPECT_EQ(authenticate(first), rig::Hex("90 00"));
    EXPECT_EQ(authenticate(first), rig::Hex("69 85")); // used up
    Bytes wrong = challenge();
    wrong[7] ^= 0x01;
    EXPECT_EQ(authenticate(wrong), rig::Hex("63 00"));

    const Bytes beforeCycle = challenge();
    powerCycle();
    EXPECT_EQ(authenticate(beforeCycle), rig::Hex("69 85"));
    const Bytes afterCycle = challenge();
    EXPECT_NE(afterCycle, first); // both the first after a power-on
    EXPECT_NE(afterCycle, beforeCycle);
    EXPECT_EQ(authenticate(afterCycle), rig::Hex("90 00"));
    EXPECT_EQ(KYT_Close(handle), KYT_SUCCESS);
}

// A device that records what reaches it and answers as it is told.
class RecordingDevice : public kytsim::CardDevice {
public:
    std::optional<Bytes> PowerOn() override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        powerOns_++;
        return answers_ ? std::optional<Bytes>(atr_) : std::nullopt;
    }
    void PowerOff() override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        powerOffs_++;
    }
    std::optional<Bytes> Transmit(const Bytes &apdu) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        apdus_.push_back(apdu);
        if (!answers_)
            return std::nullopt;
        Bytes response(apdu.rbegin(), apdu.rend()); // something the APDU alone decides
        response.push_back(0x90);
        response.push_back(0x00);
        return response;
    }
    void Answer(bool answers)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        answers_ = answers;
    }
    std::vector<Bytes> Apdus()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return apdus_;
    }
    int PowerOns()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return powerOns_;
    }
    int PowerOffs()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return powerOffs_;
    }

private:
    std::mutex mutex_;
    Bytes atr_ = rig::Hex("3B 02 14 50");
    bool answers_ = true;
    std::vector<Bytes> apdus_;
    int powerOns_ = 0, powerOffs_ = 0;
};

TEST(SimCards, ADeviceCardGetsThePowerEventsAndWholeApdus)
{
    kytsim::Config config;
    config.maxResponseBlock = 100; // a response longer than that is chained
    auto sim = rig::StartSim(config);
    ASSERT_TRUE(sim);
    auto device = std::make_shared<RecordingDevice>();
    kytsim::Card card;
    card.device = device;
    sim->InsertCard(0, card);
    ReaderHandle handle = rig::Open(*sim);
    ASSERT_NE(handle, nullptr);

    KYT_STATUS status;
    EXPECT_EQ(rig::PowerOn(handle, 0, &status), rig::Hex("3B 02 14 50"));
    ASSERT_EQ(status, KYT_SUCCESS);
    // 600 bytes cross the line in three chained blocks and reach the device
    // as one APDU; its 602-byte answer comes back in chained blocks.
    Bytes apdu(600);
    for (size_t i = 0; i < apdu.size(); i++)
        apdu[i] = static_cast<uint8_t>(i * 7);
    Bytes expected(apdu.rbegin(), apdu.rend());
    expected.push_back(0x90);
    expected.push_back(0x00);
    EXPECT_EQ(rig::Exchange(handle, 0, apdu, &status), expected);
    EXPECT_EQ(status, KYT_SUCCESS);
    EXPECT_EQ(device->Apdus(), std::vector<Bytes>{apdu});
    EXPECT_EQ(KYT_PowerOffIcc(handle, 0), KYT_SUCCESS);
    EXPECT_EQ(device->PowerOffs(), 1);

    // A device that stops answering: the card is mute, not the reader.
    rig::PowerOn(handle, 0, &status);
    ASSERT_EQ(status, KYT_SUCCESS);
    device->Answer(false);
    rig::Exchange(handle, 0, rig::Hex("00 84 00 00 08"), &status);
    EXPECT_EQ(status, static_cast<KYT_STATUS>(ETIMEDOUT)); // the reader reports the card mute
    KYT_ULONG icc = 0;
    EXPECT_EQ(KYT_GetIccStatus(handle, 0, &icc), KYT_SUCCESS);
    EXPECT_EQ(icc, KYT_ICC_PRESENT);
    rig::PowerOn(handle, 0, &status);
    EXPECT_EQ(status, KYT_ERR_UNRESPONSIVE_CARD);
    EXPECT_EQ(device->PowerOns(), 3);
    EXPECT_EQ(KYT_Close(handle), KYT_SUCCESS);
}

} // namespace
