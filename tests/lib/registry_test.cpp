// The registry of open readers.
#include <cerrno>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "device.h"
#include "reader_rig.h"

namespace {

std::vector<ReaderDevice *> ListedDevices()
{
    std::vector<ReaderDevice *> devices;
    pthread_mutex_lock(&g_pDeviceListLock);
    for (DeviceNode *node = g_pDeviceList; node != nullptr; node = node->next)
        devices.push_back(node->device);
    pthread_mutex_unlock(&g_pDeviceListLock);
    return devices;
}

TEST(Registry, AddRemoveAndLookUp)
{
    ReaderDevice a{}, b{};
    ASSERT_EQ(AddDevice(&a), 1);
    ASSERT_EQ(AddDevice(&b), 1);
    EXPECT_EQ(ListedDevices(), (std::vector<ReaderDevice *>{&b, &a}));
    EXPECT_EQ(IsValidReaderHandle(&a), 1);
    EXPECT_EQ(LookupReader(&b), &b);

    EXPECT_EQ(RemoveDevice(&a), 1);
    EXPECT_EQ(RemoveDevice(&a), 0);
    EXPECT_EQ(IsValidReaderHandle(&a), 0);
    EXPECT_EQ(LookupReader(&a), nullptr);
    EXPECT_EQ(RemoveDevice(&b), 1);
    EXPECT_TRUE(ListedDevices().empty());
}

TEST(Registry, UnknownHandlesAreRefused)
{
    KYT_ULONG slots = 99;
    ReaderDevice never{};
    EXPECT_EQ(KYT_GetNumSlots(nullptr, &slots), static_cast<KYT_ULONG>(EINVAL));
    EXPECT_EQ(KYT_GetNumSlots(&never, &slots), static_cast<KYT_ULONG>(EINVAL));
    EXPECT_EQ(slots, 99UL);
}

TEST(Registry, ThreeReadersNewestFirstAndClosingTheMiddleOne)
{
    std::unique_ptr<kytsim::SimReader> sims[3];
    ReaderHandle handles[3];
    const kytsim::Model models[3] = {kytsim::Model::KYT7710P, kytsim::Model::KYT7710P_V3, kytsim::Model::KYT4460P};
    for (int i = 0; i < 3; i++) {
        kytsim::Config config;
        config.model = models[i];
        sims[i] = rig::StartSim(config);
        ASSERT_TRUE(sims[i]);
        handles[i] = rig::Open(*sims[i]);
        ASSERT_NE(handles[i], nullptr);
    }
    EXPECT_EQ(ListedDevices(), (std::vector<ReaderDevice *>{handles[2], handles[1], handles[0]}));

    ASSERT_EQ(KYT_Close(handles[1]), 0UL);
    EXPECT_EQ(ListedDevices(), (std::vector<ReaderDevice *>{handles[2], handles[0]}));

    KYT_ULONG slots = 0;
    EXPECT_EQ(KYT_GetNumSlots(handles[1], &slots), static_cast<KYT_ULONG>(EINVAL));
    EXPECT_EQ(KYT_GetNumSlots(handles[0], &slots), 0UL);
    EXPECT_EQ(slots, 2UL);
    EXPECT_EQ(KYT_GetNumSlots(handles[2], &slots), 0UL);
    EXPECT_EQ(slots, 3UL);
    EXPECT_EQ(KYT_GetNumSlots(handles[2], nullptr), static_cast<KYT_ULONG>(EINVAL));

    EXPECT_EQ(KYT_Close(handles[0]), 0UL);
    EXPECT_EQ(KYT_Close(handles[2]), 0UL);
    EXPECT_TRUE(ListedDevices().empty());
}

TEST(Registry, ConcurrentLookupsWhileReadersComeAndGo)
{
    ReaderDevice devices[8]{};
    std::thread churn([&] {
        for (int round = 0; round < 2000; round++) {
            ReaderDevice *device = &devices[round % 8];
            AddDevice(device);
            RemoveDevice(device);
        }
    });
    // Lookups race with the churn; the list must stay whole throughout.
    for (int round = 0; round < 2000; round++)
        IsValidReaderHandle(&devices[round % 8]);
    churn.join();
    EXPECT_TRUE(ListedDevices().empty());
}

} // namespace
