// Opening, detecting and closing readers on the simulated reader.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <thread>

#include <gtest/gtest.h>

#include "ccid.h"
#include "device.h"
#include "reader_rig.h"
#include "temp_files.h"

namespace {

using kytsim::Bytes;

bool NothingListed()
{
    pthread_mutex_lock(&g_pDeviceListLock);
    bool empty = g_pDeviceList == nullptr;
    pthread_mutex_unlock(&g_pDeviceListLock);
    return empty;
}

Bytes FirmwareReplyWithText(const std::string &text)
{
    // Five header bytes the library skips, then the version text.
    Bytes reply(5 + text.size());
    for (size_t i = 0; i < 5; i++)
        reply[i] = static_cast<uint8_t>(i);
    for (size_t i = 0; i < text.size(); i++)
        reply[5 + i] = static_cast<uint8_t>(text[i]);
    return reply;
}

TEST(Open, NullArgumentsAreRefused)
{
    ReaderHandle handle = nullptr;
    EXPECT_EQ(KYT_OpenA(nullptr, &handle), static_cast<KYT_ULONG>(EINVAL));
    EXPECT_EQ(KYT_OpenA("/dev/null", nullptr), static_cast<KYT_ULONG>(EINVAL));
    EXPECT_EQ(KYT_OpenW(nullptr, &handle), static_cast<KYT_ULONG>(EINVAL));
    EXPECT_EQ(KYT_OpenW(L"/dev/null", nullptr), static_cast<KYT_ULONG>(EINVAL));
    EXPECT_EQ(handle, nullptr);
    EXPECT_TRUE(NothingListed());
}

TEST(Open, MissingPortGivesTheSystemsError)
{
    ReaderHandle handle = nullptr;
    EXPECT_EQ(KYT_OpenA("/nonexistent/kyt-port", &handle), static_cast<KYT_ULONG>(ENOENT));
    EXPECT_EQ(KYT_OpenW(L"/nonexistent/kyt-port", &handle), static_cast<KYT_ULONG>(ENOENT));
    EXPECT_EQ(handle, nullptr);
    EXPECT_TRUE(NothingListed());
}

// Names of things that are no serial port fail at once with the system's
// errno; a FIFO with nobody at its other end must not make the open wait.
TEST(Open, NamesThatAreNoPortFailWithTheSystemsError)
{
    rig::TempFolder folder("kyt-open");
    ASSERT_TRUE(folder.Made());
    const std::string dir = folder.Dir();
    const std::string file = folder.Write("file", ""), fifo = dir + "/fifo", dangling = dir + "/dangling";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(symlink((dir + "/nothing").c_str(), dangling.c_str()), 0);

    const struct {
        std::string path;
        int error;
    } cases[] = {{dir, EISDIR}, {file, ENOTTY}, {fifo, ENOTTY}, {dangling, ENOENT}};
    int before = rig::OpenDescriptorCount();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        ReaderHandle handle = nullptr;
        EXPECT_EQ(KYT_OpenA(c.path.c_str(), &handle), static_cast<KYT_ULONG>(c.error));
        EXPECT_EQ(handle, nullptr);
    }
    EXPECT_TRUE(NothingListed());
    EXPECT_EQ(rig::OpenDescriptorCount(), before);
}

// A reader at each speed the port can set is found, and the port stays there.
TEST(Open, FindsTheReadersSpeed)
{
    for (uint32_t speed : {9600u, 19200u, 38400u, 57600u, 115200u}) {
        SCOPED_TRACE(speed);
        kytsim::Config config;
        config.speed = speed;
        auto sim = rig::StartSim(config);
        ASSERT_TRUE(sim);
        ReaderHandle handle = rig::Open(*sim);
        ASSERT_NE(handle, nullptr);
        KYT_ULONG baud = 0;
        EXPECT_EQ(KYT_GetBaudRate(handle, &baud), 0UL);
        EXPECT_EQ(baud, speed);
        // Detection went no further than the speed that answered.
        EXPECT_EQ(rig::CommandsOfType(*sim, PC_TO_RDR_ESCAPE).size(), 1u);
        EXPECT_EQ(KYT_Close(handle), 0UL);
    }
}

// Attempt 5 is the first at 115200; when the reader misses it, attempts 6 to
// 10 ask for speeds the port cannot set and so run at 115200 again.
TEST(Open, ReaderMissingTheFirstAttemptAt115200IsFoundLater)
{
    kytsim::Config config;
    config.speed = 115200;
    auto sim = rig::StartSim(config);
    ASSERT_TRUE(sim);
    kytsim::Faults faults;
    faults.dropAcks = 2; // both tries of attempt 5
    sim->InjectFaults(faults);

    ReaderHandle handle = rig::Open(*sim);
    ASSERT_NE(handle, nullptr);
    KYT_ULONG baud = 0;
    EXPECT_EQ(KYT_GetBaudRate(handle, &baud), 0UL);
    EXPECT_EQ(baud, 115200UL);
    EXPECT_EQ(KYT_Close(handle), 0UL);
}

TEST(Open, ModelsAndTheirSlots)
{
    const struct {
        std::string text;
        KYT_ULONG slots;
        KYT_ULONG blockSize;
    } cases[] = {
        {"KYT7710P_V3 2.10", 3, 261}, {"KYT7710P_V3", 3, 261}, // exactly 16 bytes
        {"KYT7710P", 2, 261},                                  // exactly 13 bytes
        {"KYT7710P_V2 1.00", 2, 261},                          // another revision is the two-slot model
        {"KYT4460P 1.0", 3, 506},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        auto sim = rig::StartSim();
        ASSERT_TRUE(sim);
        sim->SetFirmwareReply(FirmwareReplyWithText(c.text));
        ReaderHandle handle = rig::Open(*sim);
        ASSERT_NE(handle, nullptr);
        KYT_ULONG slots = 0;
        EXPECT_EQ(KYT_GetNumSlots(handle, &slots), 0UL);
        EXPECT_EQ(slots, c.slots);
        EXPECT_EQ(handle->maxBlockSize, c.blockSize);
        EXPECT_EQ(KYT_Close(handle), 0UL);
    }
}

TEST(Open, PerModelSlotLimits)
{
    kytsim::Config config;
    config.model = kytsim::Model::KYT7710P_V3;
    auto sim = rig::StartSim(config);
    ASSERT_TRUE(sim);
    ReaderHandle handle = rig::Open(*sim);
    ASSERT_NE(handle, nullptr);
    const ReaderCapabilities &slot0 = handle->slotInfo[0].Reader;
    EXPECT_EQ(slot0.Protocols, 3UL);
    EXPECT_EQ(slot0.DefaultClock, 4000UL);
    EXPECT_EQ(slot0.DefaultDataRate, 10752UL);
    EXPECT_EQ(slot0.MaxDataRate, 344100UL);
    EXPECT_EQ(slot0.MaxIfsd, 512UL);
    EXPECT_EQ(handle->slotInfo[1].Reader.MaxIfsd, 254UL);
    EXPECT_EQ(handle->slotInfo[2].Reader.MaxDataRate, 125000UL);
    for (int slot = 0; slot < 3; slot++) {
        EXPECT_EQ(handle->slotInfo[slot].Reader.CardMode, 0UL);
        EXPECT_EQ(handle->slotInfo[slot].Card.AtrLength, 0);
    }
    EXPECT_EQ(KYT_Close(handle), 0UL);

    sim->SetModel(kytsim::Model::KYT4460P);
    handle = rig::Open(*sim);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(handle->slotInfo[0].Reader.MaxClock, 13560UL);
    EXPECT_EQ(handle->slotInfo[0].Reader.DefaultDataRate, 105938UL);
    EXPECT_EQ(handle->slotInfo[0].Reader.MaxDataRate, 847500UL);
    EXPECT_EQ(handle->slotInfo[2].Reader.DefaultDataRate, 13441UL);
    EXPECT_EQ(handle->slotInfo[2].Reader.MaxIfsd, 506UL);
    EXPECT_EQ(KYT_Close(handle), 0UL);
}

TEST(Open, FailedDetectionLeavesNothingBehind)
{
    const struct {
        const char *what;
        Bytes reply;
    } cases[] = {
        {"12-byte reply", FirmwareReplyWithText("KYT7710")},
        {"unknown model", FirmwareReplyWithText("ACME1234 9.9")},
        {"header only", FirmwareReplyWithText("")},
    };
    int descriptors = rig::OpenDescriptorCount();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        auto sim = rig::StartSim();
        ASSERT_TRUE(sim);
        sim->SetFirmwareReply(c.reply);
        int before = rig::OpenDescriptorCount();
        ReaderHandle handle = nullptr;
        EXPECT_EQ(KYT_OpenA(sim->PortPath().c_str(), &handle), static_cast<KYT_ULONG>(EIO));
        EXPECT_EQ(handle, nullptr);
        EXPECT_TRUE(NothingListed());
        EXPECT_EQ(rig::OpenDescriptorCount(), before);
        // The reader hears only the attempt at its own speed and answers it
        // in vain; the nine at other speeds reach it as noise.
        EXPECT_EQ(rig::CommandsOfType(*sim, PC_TO_RDR_ESCAPE).size(), 1u);
    }
    EXPECT_EQ(rig::OpenDescriptorCount(), descriptors);
}

TEST(Open, SilentReaderMakesTenAttemptsThenFails)
{
    auto sim = rig::StartSim();
    ASSERT_TRUE(sim);
    kytsim::Faults faults;
    faults.dropAcks = 1000;
    sim->InjectFaults(faults);
    int before = rig::OpenDescriptorCount();

    ReaderHandle handle = nullptr;
    EXPECT_EQ(KYT_OpenA(sim->PortPath().c_str(), &handle), static_cast<KYT_ULONG>(EIO));
    EXPECT_EQ(handle, nullptr);
    EXPECT_TRUE(NothingListed());
    EXPECT_EQ(rig::OpenDescriptorCount(), before);
    // The attempt at the reader's own speed was sent twice (one retry); the
    // reader never said a word.
    EXPECT_EQ(rig::CommandsOfType(*sim, PC_TO_RDR_ESCAPE).size(), 2u);
    for (const kytsim::LogEntry &entry : sim->Log())
        EXPECT_EQ(entry.direction, kytsim::Direction::HostToReader);
}

TEST(Open, WideNameOpensTheSamePort)
{
    auto sim = rig::StartSim();
    ASSERT_TRUE(sim);
    std::wstring wide(sim->PortPath().begin(), sim->PortPath().end());
    ReaderHandle handle = nullptr;
    ASSERT_EQ(KYT_OpenW(wide.c_str(), &handle), 0UL);
    KYT_ULONG slots = 0;
    EXPECT_EQ(KYT_GetNumSlots(handle, &slots), 0UL);
    EXPECT_EQ(slots, 3UL);
    EXPECT_EQ(KYT_Close(handle), 0UL);
}

TEST(Open, WorkingTimeoutsAfterOpen)
{
    auto sim = rig::StartSim();
    ASSERT_TRUE(sim);
    ReaderHandle handle = rig::Open(*sim);
    ASSERT_NE(handle, nullptr);
    KYT_TIMEOUTS timeouts = {};
    ASSERT_EQ(KYT_GetTimeouts(handle, &timeouts), 0UL);
    EXPECT_EQ(timeouts.statusTimeout, 2000UL);
    EXPECT_EQ(timeouts.statusRetries, 1UL);
    EXPECT_EQ(timeouts.responseTimeout, 10000UL);
    EXPECT_EQ(timeouts.responseRetries, 1UL);
    EXPECT_EQ(KYT_Close(handle), 0UL);
}

TEST(Open, DetectionMessagesStartAtSequenceZeroOnSlotZero)
{
    auto sim = rig::StartSim();
    ASSERT_TRUE(sim);
    ReaderHandle handle = rig::Open(*sim);
    ASSERT_NE(handle, nullptr);
    std::vector<Bytes> commands = sim->Commands();
    ASSERT_FALSE(commands.empty());
    const Bytes expected = {0x6B, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0x00, 0x00, 0x18, 0x00};
    EXPECT_EQ(commands[0], expected);
    EXPECT_EQ(handle->sequenceNumber, 1);
    EXPECT_EQ(KYT_Close(handle), 0UL);
}

TEST(Close, PowersOffEverySlotThenRefusesTheHandle)
{
    auto sim = rig::StartSim();
    ASSERT_TRUE(sim);
    sim->InsertCard(0, rig::PlainCard());
    sim->InsertCard(1, rig::PlainCard());
    ReaderHandle handle = rig::Open(*sim);
    ASSERT_NE(handle, nullptr);
    KYT_ULONG length = 64;
    ASSERT_EQ(KYT_PowerOnIcc(handle, 0, nullptr, &length), 0UL);
    ASSERT_TRUE(sim->CardPowered(0));
    sim->ClearLog();

    int before = rig::OpenDescriptorCount();
    EXPECT_EQ(KYT_Close(handle), 0UL);
    EXPECT_FALSE(sim->CardPowered(0));
    std::vector<Bytes> offs = rig::CommandsOfType(*sim, PC_TO_RDR_ICCPOWEROFF);
    ASSERT_EQ(offs.size(), 3u);
    for (uint8_t slot = 0; slot < 3; slot++)
        EXPECT_EQ(offs[slot][CCID_OFFSET_SLOT], slot);
    EXPECT_EQ(rig::OpenDescriptorCount(), before - 1);
    EXPECT_EQ(KYT_Close(handle), static_cast<KYT_ULONG>(EINVAL));
    EXPECT_TRUE(NothingListed());
}

// A caller that reaches the record while the reader is still being detected
// waits for detection and then sees the finished reader, never a half-made
// record or a zeroed lock.
TEST(Open, RecordReachedDuringDetectionIsWhole)
{
    kytsim::Config config;
    config.speed = 57600; // three silent attempts first
    auto sim = rig::StartSim(config);
    ASSERT_TRUE(sim);

    ReaderHandle handle = nullptr;
    KYT_STATUS openStatus = 1;
    std::thread opener([&] { openStatus = KYT_OpenA(sim->PortPath().c_str(), &handle); });

    ReaderDevice *listed = nullptr;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (listed == nullptr && std::chrono::steady_clock::now() < deadline) {
        pthread_mutex_lock(&g_pDeviceListLock);
        if (g_pDeviceList != nullptr)
            listed = g_pDeviceList->device;
        pthread_mutex_unlock(&g_pDeviceListLock);
        if (listed == nullptr)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_NE(listed, nullptr);
    KYT_ULONG slots = 0;
    KYT_STATUS status = KYT_GetNumSlots(listed, &slots);
    opener.join();

    ASSERT_EQ(openStatus, 0UL);
    EXPECT_EQ(handle, listed);
    EXPECT_EQ(status, 0UL);
    EXPECT_EQ(slots, 3UL);
    EXPECT_EQ(KYT_Close(handle), 0UL);
}

} // namespace
