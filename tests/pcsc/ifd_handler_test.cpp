// The handler's channels, power, protocols, APDUs, card presence and escape
// commands, on a simulated three-slot reader in the demo setup.
#include <atomic>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "ifd_kyt.h"
#include "ifd_rig.h"
#include "iso_card.h"

namespace {

using namespace ifdtest;

class IfdHandlerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(Ifd().library, nullptr);
        ASSERT_TRUE(rig_.Plug());
        ASSERT_EQ(rig_.OpenChannels(), IFD_SUCCESS);
        rig_.BecomeEventThread();
    }

    ReaderRig rig_{2};
};

TEST_F(IfdHandlerTest, SlotsShareOneReaderUntilTheLastChannelCloses)
{
    Bytes value;
    ASSERT_EQ(rig_.Capability(0, TAG_IFD_SLOTS_NUMBER, &value), IFD_SUCCESS);
    EXPECT_EQ(value, Bytes{3});
    // One detection for three channels: the firmware query of the open, the
    // change to 115200 bit/s, and the query that checks the new speed and
    // reads the model.
    std::vector<Bytes> expected = {kFirmwareQuery, {0x44, 0x04}, kFirmwareQuery};
    EXPECT_EQ(EscapeCommands(rig_.Sim()), expected);

    // No fourth slot; the same reader index cannot name another port.
    EXPECT_EQ(Ifd().createByName(rig_.Lun(3), const_cast<char *>(rig_.Link().c_str())), IFD_COMMUNICATION_ERROR);
    char other[] = "/dev/null";
    EXPECT_EQ(Ifd().createByName(rig_.Lun(0), other), IFD_COMMUNICATION_ERROR);

    // Closing slots 0 and 1 leaves slot 2 working on the shared handle.
    rig_.PowerUp(0);
    ASSERT_EQ(Ifd().close(rig_.Lun(0)), IFD_SUCCESS);
    ASSERT_EQ(Ifd().close(rig_.Lun(1)), IFD_SUCCESS);
    EXPECT_EQ(Ifd().presence(rig_.Lun(0)), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(Ifd().close(rig_.Lun(0)), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(Ifd().presence(rig_.Lun(2)), IFD_ICC_NOT_PRESENT);
    ASSERT_EQ(Ifd().close(rig_.Lun(2)), IFD_SUCCESS);
    EXPECT_EQ(Ifd().presence(rig_.Lun(2)), IFD_COMMUNICATION_ERROR);
    // The last channel's close powered every slot off.
    EXPECT_FALSE(rig_.Sim().CardPowered(0));

    // The closed reader's index is free again.
    ASSERT_EQ(rig_.OpenChannels(), IFD_SUCCESS);
    EXPECT_EQ(Ifd().presence(rig_.Lun(2)), IFD_ICC_NOT_PRESENT);
}

TEST_F(IfdHandlerTest, PowerKeepsTheAtrForTheCapabilityAndChecksBuffers)
{
    const Bytes atr = kytsim::DemoT1Card().atr;
    EXPECT_EQ(rig_.PowerUp(0), atr);
    Bytes value;
    for (DWORD tag : {DWORD{TAG_IFD_ATR}, DWORD{SCARD_ATTR_ATR_STRING}}) {
        ASSERT_EQ(rig_.Capability(0, tag, &value), IFD_SUCCESS);
        EXPECT_EQ(value, atr);
    }
    EXPECT_EQ(rig_.Capability(0, TAG_IFD_ATR, &value, static_cast<DWORD>(atr.size() - 1)),
              IFD_ERROR_INSUFFICIENT_BUFFER);

    // An ATR buffer too small: the card is powered and the ATR kept all the same.
    UCHAR small[4];
    DWORD length = sizeof small;
    EXPECT_EQ(Ifd().power(rig_.Lun(0), IFD_RESET, small, &length), IFD_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(length, 0UL);
    EXPECT_TRUE(rig_.Sim().CardPowered(0));
    ASSERT_EQ(rig_.Capability(0, TAG_IFD_ATR, &value), IFD_SUCCESS);
    EXPECT_EQ(value, atr);

    // A reset is warm: the powered card gets a power-on (62) and no
    // power-off (63), as it does when it was not powered.
    UCHAR full[MAX_ATR_SIZE];
    for (bool powered : {true, false}) {
        if (!powered) {
            EXPECT_EQ(Ifd().power(rig_.Lun(0), IFD_POWER_DOWN, full, &(length = sizeof full)), IFD_SUCCESS);
        }
        rig_.Sim().ClearLog();
        EXPECT_EQ(Ifd().power(rig_.Lun(0), IFD_RESET, full, &(length = sizeof full)), IFD_SUCCESS);
        EXPECT_EQ(Bytes(full, full + length), atr);
        std::vector<uint8_t> types;
        for (const Bytes &command : rig_.Sim().Commands())
            types.push_back(command[0]);
        EXPECT_EQ(types, (std::vector<uint8_t>{0x62})) << "powered " << powered;
        EXPECT_TRUE(rig_.Sim().CardPowered(0));
    }

    EXPECT_EQ(Ifd().power(rig_.Lun(0), IFD_POWER_DOWN, full, &(length = sizeof full)), IFD_SUCCESS);
    EXPECT_FALSE(rig_.Sim().CardPowered(0));
    ASSERT_EQ(rig_.Capability(0, TAG_IFD_ATR, &value), IFD_SUCCESS);
    EXPECT_TRUE(value.empty());
    EXPECT_EQ(Ifd().power(rig_.Lun(0), 999, full, &(length = sizeof full)), IFD_NOT_SUPPORTED);

    // The empty slot, and a card that does not answer.
    rig_.PowerUp(2, IFD_ICC_NOT_PRESENT);
    kytsim::Card mute = kytsim::DemoT1Card();
    mute.mute = true;
    rig_.Sim().InsertCard(2, mute);
    rig_.PowerUp(2, IFD_ERROR_POWER_ACTION);
    EXPECT_EQ(Ifd().power(rig_.Lun(2), IFD_POWER_DOWN, full, &(length = sizeof full)), IFD_SUCCESS);
}

TEST_F(IfdHandlerTest, ProtocolsAndApdusOnBothCards)
{
    rig_.PowerUp(0);
    rig_.PowerUp(1);
    struct Case {
        DWORD slot, protocol;
        RESPONSECODE expected;
    };
    for (Case c : {Case{0, SCARD_PROTOCOL_T0, IFD_PROTOCOL_NOT_SUPPORTED}, Case{0, 4, IFD_PROTOCOL_NOT_SUPPORTED},
                   Case{0, SCARD_PROTOCOL_T1, IFD_SUCCESS}, Case{1, SCARD_PROTOCOL_T1, IFD_PROTOCOL_NOT_SUPPORTED},
                   Case{1, SCARD_PROTOCOL_T0, IFD_SUCCESS}, Case{2, SCARD_PROTOCOL_T0, IFD_ERROR_POWER_ACTION}})
        EXPECT_EQ(Ifd().setProtocol(rig_.Lun(c.slot), c.protocol, 0, 0, 0, 0), c.expected)
            << "slot " << c.slot << " protocol " << c.protocol;
    // PTS1 11 keeps the default factors: bmFindexDindex 11 in SetParameters.
    EXPECT_EQ(Ifd().setProtocol(rig_.Lun(0), SCARD_PROTOCOL_T1, IFD_NEGOTIATE_PTS1, 0x11, 0, 0), IFD_SUCCESS);
    EXPECT_EQ(rig_.Sim().LastParameters(0).at(3), 0x11);

    for (DWORD slot : {0u, 1u}) {
        Bytes response;
        ASSERT_EQ(rig_.Transmit(slot, kSelectMf, &response), IFD_SUCCESS);
        EXPECT_EQ(response, (Bytes{0x90, 0x00}));
        ASSERT_EQ(rig_.Transmit(slot, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x2F, 0xE2}, &response), IFD_SUCCESS);
        ASSERT_EQ(rig_.Transmit(slot, kReadIccid, &response), IFD_SUCCESS);
        EXPECT_EQ(response, kIccid);
        // Response buffers too small for the 12 bytes, or for any status word.
        EXPECT_EQ(rig_.Transmit(slot, kReadIccid, &response, 11), IFD_ERROR_INSUFFICIENT_BUFFER);
        EXPECT_EQ(rig_.Transmit(slot, kReadIccid, &response, 1), IFD_ERROR_INSUFFICIENT_BUFFER);
        EXPECT_EQ(rig_.Transmit(slot, {}, &response), IFD_COMMUNICATION_ERROR);
    }
    // The empty slot.
    Bytes response;
    EXPECT_EQ(rig_.Transmit(2, kSelectMf, &response), IFD_ICC_NOT_PRESENT);
}

TEST_F(IfdHandlerTest, PresenceFollowsRemovalAndReinsertion)
{
    EXPECT_EQ(Ifd().presence(rig_.Lun(0)), IFD_SUCCESS); // present, unpowered
    EXPECT_EQ(Ifd().presence(rig_.Lun(2)), IFD_ICC_NOT_PRESENT);
    rig_.PowerUp(0);
    EXPECT_EQ(Ifd().presence(rig_.Lun(0)), IFD_SUCCESS);

    // Pulled during a session: APDUs and presence report no card.
    rig_.Sim().RemoveCard(0);
    Bytes response;
    EXPECT_EQ(rig_.Transmit(0, kSelectMf, &response), IFD_ICC_NOT_PRESENT);
    EXPECT_EQ(Ifd().presence(rig_.Lun(0)), IFD_ICC_NOT_PRESENT);
    Bytes value;
    ASSERT_EQ(rig_.Capability(0, TAG_IFD_ATR, &value), IFD_SUCCESS);
    EXPECT_TRUE(value.empty());
    rig_.Sim().InsertCard(0, kytsim::DemoT1Card());
    EXPECT_EQ(Ifd().presence(rig_.Lun(0)), IFD_SUCCESS);

    // Pulled and put back between two polls: reported absent once.
    rig_.PowerUp(0);
    rig_.Sim().RemoveCard(0);
    rig_.Sim().InsertCard(0, kytsim::DemoT1Card());
    EXPECT_EQ(Ifd().presence(rig_.Lun(0)), IFD_ICC_NOT_PRESENT);
    EXPECT_EQ(Ifd().presence(rig_.Lun(0)), IFD_SUCCESS);
    EXPECT_EQ(rig_.PowerUp(0), kytsim::DemoT1Card().atr);
}

// A card pulled while a transmit or a protocol selection is under way and
// back before the next poll: pcscd's event thread must see it leave, or
// pcscd would never power the card again, whichever thread asks first.
TEST_F(IfdHandlerTest, CardBackBeforeThePollIsReportedRemovedOnce)
{
    // A client's presence check (pcscd's IFDPowerICC makes one on the
    // client's thread) reads the slot empty and leaves the removal for the
    // event thread.
    auto clientAsks = [&] {
        RESPONSECODE rv = IFD_SUCCESS;
        std::thread client([&] { rv = Ifd().presence(rig_.Lun(0)); });
        client.join();
        return rv;
    };
    struct Case {
        const char *call;
        std::function<RESPONSECODE()> run;
    };
    const Case cases[] = {
        {"transmit",
         [&] {
             Bytes response;
             return rig_.Transmit(0, kSelectMf, &response);
         }},
        // At the default factors: libkyt's retry after a power cycle, which
        // would find the card back, is for negotiated factors only.
        {"protocol", [&] { return Ifd().setProtocol(rig_.Lun(0), SCARD_PROTOCOL_T1, IFD_NEGOTIATE_PTS1, 0x11, 0, 0); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.call);
        rig_.PowerUp(0);
        rig_.Sim().BounceCard(0);
        EXPECT_EQ(c.run(), IFD_ICC_NOT_PRESENT);
        EXPECT_TRUE(rig_.Sim().CardPresent(0));
        EXPECT_EQ(clientAsks(), IFD_ICC_NOT_PRESENT);
        EXPECT_EQ(clientAsks(), IFD_ICC_NOT_PRESENT);
        // The event thread's wait ends early: the card left.
        EXPECT_EQ(rig_.WaitForEvent(0, 600000), IFD_SUCCESS);
        EXPECT_EQ(Ifd().presence(rig_.Lun(0)), IFD_ICC_NOT_PRESENT);
        EXPECT_EQ(Ifd().presence(rig_.Lun(0)), IFD_SUCCESS);
        // pcscd powers the card anew, and it works.
        EXPECT_EQ(rig_.PowerUp(0), kytsim::DemoT1Card().atr);
        Bytes response;
        EXPECT_EQ(rig_.Transmit(0, kSelectMf, &response), IFD_SUCCESS);
    }
}

TEST_F(IfdHandlerTest, EscapeCommandsAreGatedByDefault)
{
    Bytes reply;
    ASSERT_EQ(rig_.Control(KYT_IFD_IOCTL_ESCAPE, kFirmwareQuery, &reply), IFD_SUCCESS);
    EXPECT_EQ(reply, kytsim::FirmwareReply(kytsim::Model::KYT7710P_V3));
    EXPECT_EQ(rig_.Control(KYT_IFD_IOCTL_ESCAPE, kFirmwareQuery, &reply, 4), IFD_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(rig_.Control(KYT_IFD_IOCTL_ESCAPE, kFirmwareQuery, &reply, 0), IFD_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(rig_.Control(KYT_IFD_IOCTL_ESCAPE, {}, &reply), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(rig_.Control(3500, kFirmwareQuery, &reply), IFD_ERROR_NOT_SUPPORTED);

    // Anything but the firmware query is refused without reaching the reader.
    rig_.Sim().SetEscapeHandler([](uint8_t, const Bytes &c) { return std::optional<Bytes>(c); });
    rig_.Sim().ClearLog();
    ClearLog();
    for (const Bytes &command : {Bytes{0x44, 0x04}, Bytes{0x01, 0x02}, Bytes{0xE0, 0x00, 0x00, 0x18},
                                 Bytes{0xE0, 0x00, 0x00, 0x18, 0x00, 0x00}})
        EXPECT_EQ(rig_.Control(KYT_IFD_IOCTL_ESCAPE, command, &reply), IFD_NOT_SUPPORTED) << command.size();
    EXPECT_TRUE(rig_.Sim().Commands().empty());
    EXPECT_EQ(LogLinesContaining("escape command 01 02 refused: not enabled"), 1u);
    EXPECT_EQ(LogLinesContaining("escape command 44 04 refused: the line speed"), 1u);
}

TEST_F(IfdHandlerTest, TwoSlotsAtOnceWhileTheThirdIsPolled)
{
    rig_.PowerUp(0);
    rig_.PowerUp(1);
    ASSERT_EQ(Ifd().setProtocol(rig_.Lun(0), SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
    ASSERT_EQ(Ifd().setProtocol(rig_.Lun(1), SCARD_PROTOCOL_T0, 0, 0, 0, 0), IFD_SUCCESS);
    std::atomic<int> failures{0};
    std::atomic<bool> done{false};
    auto worker = [&](DWORD slot) {
        for (int i = 0; i < 40; i++) {
            Bytes response;
            if (rig_.Transmit(slot, kSelectMf, &response) != IFD_SUCCESS || response != Bytes{0x90, 0x00})
                failures++;
        }
    };
    std::thread poller([&] {
        while (!done)
            if (Ifd().presence(rig_.Lun(2)) != IFD_ICC_NOT_PRESENT)
                failures++;
    });
    std::thread a(worker, 0), b(worker, 1);
    a.join();
    b.join();
    done = true;
    poller.join();
    EXPECT_EQ(failures, 0);
}

TEST(IfdHandlerOpen, NoReaderOnThePortAndATwoSlotModel)
{
    ASSERT_NE(Ifd().library, nullptr);
    EXPECT_EQ(Ifd().createByName(Lun(5, 0), nullptr), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(Ifd().presence(Lun(5, 0)), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(Ifd().create(Lun(5, 0), 0), IFD_COMMUNICATION_ERROR);
    // A port that is there but has no reader behind it.
    char nothing[] = "/dev/null";
    EXPECT_EQ(Ifd().createByName(Lun(5, 0), nothing), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(Ifd().presence(Lun(5, 0)), IFD_COMMUNICATION_ERROR);

    kytsim::Config config;
    config.model = kytsim::Model::KYT7710P;
    ReaderRig rig(6, config);
    ASSERT_TRUE(rig.Plug());
    ASSERT_EQ(rig.OpenChannels(), IFD_SUCCESS);
    Bytes slots;
    EXPECT_EQ(rig.Capability(0, TAG_IFD_SLOTS_NUMBER, &slots), IFD_SUCCESS);
    EXPECT_EQ(slots, Bytes{2});
    EXPECT_EQ(Ifd().createByName(rig.Lun(2), const_cast<char *>(rig.Link().c_str())), IFD_COMMUNICATION_ERROR);
}

} // namespace
