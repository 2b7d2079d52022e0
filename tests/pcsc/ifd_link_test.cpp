// The handler's link to a reader: the line speed it runs at, the reader's
// options, a reader that goes away and comes back, and closing a reader
// that no longer answers.
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ifd_kyt.h"
#include "ifd_rig.h"
#include "iso_card.h"

namespace {

using namespace ifdtest;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Long enough for anything the handler does, even under an emulator; only
// a hang runs into it.
constexpr auto kPatience = 60s;

bool SelectWorks(ReaderRig &rig)
{
    rig.PowerUp(0);
    Bytes response;
    return rig.Transmit(0, kSelectMf, &response) == IFD_SUCCESS && response == Bytes{0x90, 0x00};
}

// Polls slot 0 as pcscd does until it reports a card, within kPatience.
bool PollUntilPresent(ReaderRig &rig)
{
    for (auto start = Clock::now(); Clock::now() - start < kPatience; std::this_thread::sleep_for(100ms)) {
        if (Ifd().presence(rig.Lun(0)) == IFD_SUCCESS)
            return true;
    }
    return false;
}

TEST(IfdLineSpeed, RaisedTo115200UnlessTheOptionsSayOtherwise)
{
    struct Case {
        const char *options;
        uint32_t speed;
        bool asked; // a set-speed command went out
    };
    for (Case c : {Case{"", 115200, true}, Case{":speed=57600", 57600, true}, Case{":speed=keep", 9600, false},
                   Case{":speed=9600", 9600, false}}) {
        SCOPED_TRACE(c.options);
        ReaderRig rig(10);
        ASSERT_TRUE(rig.Plug());
        ASSERT_EQ(rig.OpenChannels(c.options), IFD_SUCCESS);
        EXPECT_EQ(rig.Sim().Speed(), c.speed);
        bool asked = false;
        for (const Bytes &command : EscapeCommands(rig.Sim()))
            asked = asked || command[0] == 0x44;
        EXPECT_EQ(asked, c.asked);
        EXPECT_TRUE(SelectWorks(rig));
    }
}

TEST(IfdLineSpeed, AReaderThatRefusesIsUsedAtTheSpeedThatWorks)
{
    // It answers 6A 80: libkyt has switched its port, the reader has not.
    kytsim::Config config;
    config.maxSpeed = 38400;
    ReaderRig rig(11, config);
    ASSERT_TRUE(rig.Plug());
    ClearLog();
    ASSERT_EQ(rig.OpenChannels(), IFD_SUCCESS) << ::testing::PrintToString(LogLines());
    EXPECT_EQ(rig.Sim().Speed(), 9600u);
    EXPECT_EQ(LogLinesContaining("did not take 115200 bit/s"), 1u);
    EXPECT_EQ(LogLinesContaining("reader found again at 9600 bit/s"), 1u);
    EXPECT_TRUE(SelectWorks(rig));
    rig.CloseChannels();

    // A speed it takes.
    ASSERT_EQ(rig.OpenChannels(":speed=38400"), IFD_SUCCESS);
    EXPECT_EQ(rig.Sim().Speed(), 38400u);
    EXPECT_TRUE(SelectWorks(rig));
}

TEST(IfdLineSpeed, AReaderThatIgnoresTheChangeStaysAtItsSpeed)
{
    ReaderRig rig(12);
    ASSERT_TRUE(rig.Plug());
    rig.Sim().SetIgnoreSpeedChange(true); // no acknowledge, no answer
    ClearLog();
    ASSERT_EQ(rig.OpenChannels(), IFD_SUCCESS);
    EXPECT_EQ(rig.Sim().Speed(), 9600u);
    EXPECT_EQ(LogLinesContaining("staying at 9600 bit/s"), 1u);
    EXPECT_EQ(LogLinesContaining("found again"), 0u);
    EXPECT_TRUE(SelectWorks(rig));
}

TEST(IfdOptions, MalformedOptionsAreLoggedAndTheReaderOpensWithDefaults)
{
    ReaderRig rig(13);
    ASSERT_TRUE(rig.Plug());
    ClearLog();
    ASSERT_EQ(rig.OpenChannels(":speed=fast:bogus=1:escape=zz:escape=4401:nonsense:"), IFD_SUCCESS);
    for (const char *text :
         {"speed=fast ignored", "unknown option \"bogus=1\"", "escape=zz ignored",
          "escape=4401 ignored: the set-speed command", "unknown option \"nonsense\"", "unknown option \"\""})
        EXPECT_EQ(LogLinesContaining(text), 1u) << text;
    EXPECT_EQ(rig.Sim().Speed(), 115200u);
    Bytes reply;
    EXPECT_EQ(rig.Control(KYT_IFD_IOCTL_ESCAPE, {0x01, 0x02}, &reply), IFD_NOT_SUPPORTED);
    EXPECT_TRUE(SelectWorks(rig));
}

TEST(IfdOptions, EscapeOptionsOpenTheGate)
{
    struct Case {
        const char *options;
        Bytes command;
        RESPONSECODE expected;
    };
    const Case cases[] = {
        {":escape=A5", {0xA5, 0x01}, IFD_SUCCESS},
        {":escape=A5", {0xA6, 0x01}, IFD_NOT_SUPPORTED},
        {":escape=A501:escape=B2", {0xB2}, IFD_SUCCESS},
        {":escape=A501:escape=B2", {0xA5, 0x02}, IFD_NOT_SUPPORTED},
        {":escape=A5:escape=version", {0xA5, 0x01}, IFD_NOT_SUPPORTED},
        {":escape=all", {0x01, 0x02, 0x03}, IFD_SUCCESS},
        {":escape=all", {0x44, 0x04}, IFD_NOT_SUPPORTED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.options);
        ReaderRig rig(14);
        ASSERT_TRUE(rig.Plug());
        rig.Sim().SetEscapeHandler([](uint8_t, const Bytes &command) { return std::optional<Bytes>(command); });
        ASSERT_EQ(rig.OpenChannels(c.options), IFD_SUCCESS);
        Bytes reply;
        EXPECT_EQ(rig.Control(KYT_IFD_IOCTL_ESCAPE, c.command, &reply), c.expected);
        if (c.expected == IFD_SUCCESS) {
            EXPECT_EQ(reply, c.command);
        }
        EXPECT_EQ(rig.Control(KYT_IFD_IOCTL_ESCAPE, kFirmwareQuery, &reply), IFD_SUCCESS);
    }
}

TEST(IfdOptions, APortWithColonsInItsName)
{
    ReaderRig rig(15, kytsim::Config(), "pci-0000:00:14.0-usb-0:1:1.0-port0");
    ASSERT_TRUE(rig.Plug());
    ASSERT_EQ(rig.OpenChannels(), IFD_SUCCESS);
    EXPECT_EQ(rig.Sim().Speed(), 115200u);
    rig.CloseChannels();
    ASSERT_EQ(rig.OpenChannels(":speed=57600"), IFD_SUCCESS);
    EXPECT_EQ(rig.Sim().Speed(), 57600u);
}

TEST(IfdRecovery, APulledAdapterComesBackWithoutARestart)
{
    ReaderRig rig(16);
    ASSERT_TRUE(rig.Plug());
    ASSERT_EQ(rig.OpenChannels(), IFD_SUCCESS);
    rig.PowerUp(0);

    rig.Pull();
    ClearLog();
    Bytes response;
    EXPECT_EQ(rig.Transmit(0, kSelectMf, &response), IFD_COMMUNICATION_ERROR);
    // Lost: every slot reads empty, and while the port is missing no
    // attempt is made to open it.
    for (int poll = 0; poll < 10; poll++) {
        for (DWORD slot = 0; slot < 3; slot++)
            EXPECT_EQ(Ifd().presence(rig.Lun(slot)), IFD_ICC_NOT_PRESENT);
    }
    EXPECT_EQ(LogLinesContaining("no reader answers yet"), 0u);
    EXPECT_EQ(LogLinesContaining("the port is gone"), 1u);
    Bytes value;
    // Out of reach for now, not gone for good: no IFD_NO_SUCH_DEVICE, which
    // would make pcscd rescan and sleep in the caller's thread.
    EXPECT_EQ(rig.Control(KYT_IFD_IOCTL_ESCAPE, kFirmwareQuery, &value), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(rig.PowerUp(0, IFD_COMMUNICATION_ERROR), Bytes{});
    EXPECT_EQ(Ifd().setProtocol(rig.Lun(0), SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(rig.Capability(0, SCARD_ATTR_ICC_PRESENCE, &value), IFD_SUCCESS);
    EXPECT_EQ(value, Bytes{0});
    UCHAR atr[MAX_ATR_SIZE];
    DWORD length = sizeof atr;
    EXPECT_EQ(Ifd().power(rig.Lun(0), IFD_POWER_DOWN, atr, &length), IFD_SUCCESS);

    // A fresh reader (at 9600 bit/s, as after power-up) under the same name.
    ASSERT_TRUE(rig.Plug());
    ASSERT_TRUE(PollUntilPresent(rig));
    EXPECT_EQ(LogLinesContaining("the reader is back"), 1u);
    EXPECT_EQ(Ifd().presence(rig.Lun(1)), IFD_SUCCESS);
    EXPECT_EQ(Ifd().presence(rig.Lun(2)), IFD_ICC_NOT_PRESENT);
    EXPECT_EQ(rig.Sim().Speed(), 115200u);
    EXPECT_EQ(rig.PowerUp(0), kytsim::DemoT1Card().atr);
    EXPECT_TRUE(SelectWorks(rig));
}

TEST(IfdRecovery, APortGoneInTheMiddleOfAnApdu)
{
    kytsim::Config config;
    config.cardDelay = 300ms;
    ReaderRig rig(17, config);
    ASSERT_TRUE(rig.Plug());
    ASSERT_EQ(rig.OpenChannels(), IFD_SUCCESS);
    rig.PowerUp(0);
    RESPONSECODE transmitted = IFD_SUCCESS;
    std::thread client([&] {
        Bytes response;
        transmitted = rig.Transmit(0, kSelectMf, &response);
    });
    std::this_thread::sleep_for(100ms);
    rig.Pull();
    client.join();
    EXPECT_EQ(transmitted, IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(Ifd().presence(rig.Lun(0)), IFD_ICC_NOT_PRESENT);
    ASSERT_TRUE(rig.Plug());
    ASSERT_TRUE(PollUntilPresent(rig));
    EXPECT_TRUE(SelectWorks(rig));
}

// A reader that lost power and came back at another speed answers nothing
// the handler sends.  For a while it is only silent, as after a glitch:
// its slots keep their state.  Once it has been silent for ten seconds it
// is given up, its slots read empty, and it is opened afresh.
TEST(IfdRecovery, AReaderThatStopsAnsweringIsOpenedAgain)
{
    ReaderRig rig(18);
    ASSERT_TRUE(rig.Plug());
    ASSERT_EQ(rig.OpenChannels(), IFD_SUCCESS);
    rig.BecomeEventThread();
    ASSERT_EQ(Ifd().presence(rig.Lun(0)), IFD_SUCCESS);
    ASSERT_EQ(Ifd().presence(rig.Lun(2)), IFD_ICC_NOT_PRESENT);
    rig.Sim().SetSpeed(57600);
    ClearLog();

    auto silent = Clock::now();
    auto givenUp = silent;
    std::vector<RESPONSECODE> answers;
    for (; Clock::now() - silent < kPatience; std::this_thread::sleep_for(100ms)) {
        RESPONSECODE rv = Ifd().presence(rig.Lun(0));
        EXPECT_EQ(Ifd().presence(rig.Lun(2)), IFD_ICC_NOT_PRESENT);
        if (answers.empty() || answers.back() != rv) {
            answers.push_back(rv);
            if (rv == IFD_ICC_NOT_PRESENT)
                givenUp = Clock::now();
        }
        if (rv == IFD_SUCCESS && answers.size() == 3)
            break;
    }
    // Present while silent, empty once given up, present again when found.
    EXPECT_EQ(answers, (std::vector<RESPONSECODE>{IFD_SUCCESS, IFD_ICC_NOT_PRESENT, IFD_SUCCESS}));
    EXPECT_GE(givenUp - silent, 9s);
    EXPECT_EQ(LogLinesContaining("no answer from the reader"), 1u);
    EXPECT_EQ(LogLinesContaining("the reader has not answered for"), 1u);
    EXPECT_EQ(rig.Sim().Speed(), 115200u);
    EXPECT_TRUE(SelectWorks(rig));
}

// Each attempt to reach a reader that is not there costs a detection scan,
// so attempts are spaced: at most one per two seconds, however often pcscd
// polls.
TEST(IfdRecovery, AttemptsOnAPortWithoutAReaderAreSpaced)
{
    ReaderRig rig(19);
    ASSERT_TRUE(rig.Plug());
    ASSERT_EQ(rig.OpenChannels(), IFD_SUCCESS);
    rig.Pull();
    Bytes response;
    EXPECT_EQ(rig.Transmit(0, kSelectMf, &response), IFD_COMMUNICATION_ERROR);
    // The port is back, but what answers there is no reader: opening it
    // fails at once.
    ASSERT_TRUE(rig.LinkTo("/dev/null"));
    ClearLog();
    auto start = Clock::now();
    for (int poll = 0; poll < 30; poll++) {
        EXPECT_EQ(Ifd().presence(rig.Lun(poll % 3)), IFD_ICC_NOT_PRESENT);
        std::this_thread::sleep_for(50ms);
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    size_t attempts = LogLinesContaining("no reader answers yet");
    EXPECT_GE(attempts, 1u);
    EXPECT_LE(attempts, 1 + static_cast<size_t>(seconds / 2.0)) << seconds << " s";
}

// KYT_Close powers every slot off; on a reader that no longer answers that
// took 2 x 2 s per slot at the working timeouts.
TEST(IfdClose, AReaderThatNoLongerAnswersClosesQuickly)
{
    struct Case {
        const char *reader;
        kytsim::Faults faults;
        bool failedCallFirst;
    };
    kytsim::Faults silent;
    silent.dropAcks = 1000;
    kytsim::Faults noResponse;
    noResponse.silentAfterAck = 1000;
    noResponse.ignoreRepeats = 1000;
    const Case cases[] = {
        {"silent", silent, false},
        {"acknowledges, never answers", noResponse, false},
        {"known not to answer", silent, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reader);
        ReaderRig rig(20);
        ASSERT_TRUE(rig.Plug());
        ASSERT_EQ(rig.OpenChannels(), IFD_SUCCESS);
        ASSERT_EQ(Ifd().presence(rig.Lun(0)), IFD_SUCCESS);
        rig.Sim().InjectFaults(c.faults);
        if (c.failedCallFirst) {
            // The reader is silent now; the slot answers what it knew.
            EXPECT_EQ(Ifd().presence(rig.Lun(0)), IFD_SUCCESS);
        }
        auto start = Clock::now();
        rig.CloseChannels();
        // About a second at most; the bound leaves room for a slow machine
        // and still fails the 12 s of the working timeouts.
        EXPECT_LT(Clock::now() - start, 5s);
    }
}

} // namespace
