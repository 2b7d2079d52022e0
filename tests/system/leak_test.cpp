// Open and close many times, through every way an open can fail, and count
// the process's descriptors afterwards.  The bytes side of the check is left
// to the leak checkers the CI runs this program under (LeakSanitizer in the
// address-sanitizer build, valgrind's memcheck in the leak stage).
//
// KYT_LEAK_CYCLES sets the number of open/close cycles (default 40).
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "reader_rig.h"

namespace {

unsigned long Cycles()
{
    const char *value = std::getenv("KYT_LEAK_CYCLES");
    return value != nullptr && *value != '\0' ? std::strtoul(value, nullptr, 10) : 40;
}

kytsim::Bytes FirmwareReplyWithText(const std::string &text)
{
    constexpr size_t kLeadingBytes = 5; // the firmware reply's bytes before its text
    kytsim::Bytes reply(kLeadingBytes + text.size(), 0x00);
    std::copy(text.begin(), text.end(), reply.begin() + kLeadingBytes);
    return reply;
}

TEST(Leaks, OpenCloseCyclesAndEveryFailedOpen)
{
    const int before = rig::OpenDescriptorCount();
    auto sim = rig::StartSim();
    ASSERT_TRUE(sim);
    sim->InsertCard(0, rig::PlainCard());
    const std::wstring wide(sim->PortPath().begin(), sim->PortPath().end());
    const int withSim = rig::OpenDescriptorCount();

    const unsigned long cycles = Cycles();
    for (unsigned long i = 0; i < cycles; i++) {
        ReaderHandle handle = nullptr;
        KYT_STATUS status = i % 2 ? KYT_OpenW(wide.c_str(), &handle) : KYT_OpenA(sim->PortPath().c_str(), &handle);
        ASSERT_EQ(status, 0UL) << "cycle " << i;
        // Leave a powered card behind now and then: Close powers it off.
        if (i % 3 == 0) {
            KYT_ULONG length = 64;
            EXPECT_EQ(KYT_PowerOnIcc(handle, 0, nullptr, &length), 0UL);
        }
        ASSERT_EQ(KYT_Close(handle), 0UL);
    }
    EXPECT_EQ(rig::OpenDescriptorCount(), withSim);

    // A port that does not exist, and one that is no terminal at all.
    ReaderHandle handle = nullptr;
    EXPECT_EQ(KYT_OpenA("/nonexistent/kyt-port", &handle), static_cast<KYT_ULONG>(ENOENT));
    EXPECT_EQ(KYT_OpenW(L"/nonexistent/kyt-port", &handle), static_cast<KYT_ULONG>(ENOENT));
    EXPECT_NE(KYT_OpenA("/dev/null", &handle), 0UL);
    EXPECT_EQ(handle, nullptr);

    // A reader of a model the library does not know.
    sim->SetFirmwareReply(FirmwareReplyWithText("ACME1234 9.9"));
    EXPECT_EQ(KYT_OpenA(sim->PortPath().c_str(), &handle), static_cast<KYT_ULONG>(EIO));
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(rig::OpenDescriptorCount(), withSim);
    sim.reset();

    // No reader at all: a line nobody answers on.
    {
        auto silent = rig::StartSim();
        ASSERT_TRUE(silent);
        kytsim::Faults faults;
        faults.dropAcks = 1000;
        silent->InjectFaults(faults);
        EXPECT_EQ(KYT_OpenA(silent->PortPath().c_str(), &handle), static_cast<KYT_ULONG>(EIO));
        EXPECT_EQ(handle, nullptr);
    }
    EXPECT_EQ(rig::OpenDescriptorCount(), before);
}

} // namespace
