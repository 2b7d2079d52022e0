// The IFD handler as pcscd sees it: the built libifdkyt.so loaded with
// dlopen, its IFDH functions called with pcscd's Luns, and a simulated reader
// at the other end of the pty.
#include <dlfcn.h>

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}

#include "ifd_kyt.h"
#include "iso_card.h"
#include "sim_reader.h"

namespace {

using kytsim::Bytes;

struct Handler {
    void *library = nullptr;
    RESPONSECODE (*createByName)(DWORD, LPSTR) = nullptr;
    RESPONSECODE (*close)(DWORD) = nullptr;
    RESPONSECODE (*getCapabilities)(DWORD, DWORD, PDWORD, PUCHAR) = nullptr;
    RESPONSECODE (*setCapabilities)(DWORD, DWORD, DWORD, PUCHAR) = nullptr;
    RESPONSECODE (*setProtocol)(DWORD, DWORD, UCHAR, UCHAR, UCHAR, UCHAR) = nullptr;
    RESPONSECODE (*power)(DWORD, DWORD, PUCHAR, PDWORD) = nullptr;
    RESPONSECODE (*transmit)(DWORD, SCARD_IO_HEADER, PUCHAR, DWORD, PUCHAR, PDWORD, PSCARD_IO_HEADER) = nullptr;
    RESPONSECODE (*control)(DWORD, DWORD, PUCHAR, DWORD, PUCHAR, DWORD, LPDWORD) = nullptr;
    RESPONSECODE (*presence)(DWORD) = nullptr;
};

template <typename F> void Resolve(void *library, const char *name, F *function)
{
    *function = reinterpret_cast<F>(dlsym(library, name));
    ASSERT_NE(*function, nullptr) << name;
}

const Handler &Ifd()
{
    static Handler handler = [] {
        Handler h;
        h.library = dlopen(KYT_IFD_HANDLER, RTLD_NOW | RTLD_LOCAL);
        EXPECT_NE(h.library, nullptr) << dlerror();
        if (h.library) {
            Resolve(h.library, "IFDHCreateChannelByName", &h.createByName);
            Resolve(h.library, "IFDHCloseChannel", &h.close);
            Resolve(h.library, "IFDHGetCapabilities", &h.getCapabilities);
            Resolve(h.library, "IFDHSetCapabilities", &h.setCapabilities);
            Resolve(h.library, "IFDHSetProtocolParameters", &h.setProtocol);
            Resolve(h.library, "IFDHPowerICC", &h.power);
            Resolve(h.library, "IFDHTransmitToICC", &h.transmit);
            Resolve(h.library, "IFDHControl", &h.control);
            Resolve(h.library, "IFDHICCPresence", &h.presence);
        }
        return h;
    }();
    return handler;
}

DWORD Lun(DWORD reader, DWORD slot) { return reader << 16 | slot; }

const Bytes kSelectMf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
const Bytes kReadIccid = {0x00, 0xB0, 0x00, 0x00, 0x0A};
const Bytes kFirmwareQuery = {0xE0, 0x00, 0x00, 0x18, 0x00};

// A simulated reader in the demo setup with every slot's channel open, the
// way pcscd opens a multi-slot reader: one CreateChannelByName per slot.
class IfdHandlerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(Ifd().library, nullptr);
        ASSERT_TRUE(sim_.Start());
        sim_.InsertCard(0, kytsim::DemoT1Card());
        sim_.InsertCard(1, kytsim::DemoT0Card());
        port_ = sim_.PortPath();
        for (DWORD slot = 0; slot < 3; slot++)
            ASSERT_EQ(Ifd().createByName(Lun(reader_, slot), port_.data()), IFD_SUCCESS) << slot;
        open_ = 3;
    }
    void TearDown() override
    {
        for (DWORD slot = 3 - open_; slot < 3; slot++)
            EXPECT_EQ(Ifd().close(Lun(reader_, slot)), IFD_SUCCESS) << slot;
    }

    Bytes PowerUp(DWORD slot, RESPONSECODE expected = IFD_SUCCESS)
    {
        UCHAR atr[MAX_ATR_SIZE];
        DWORD length = sizeof atr;
        EXPECT_EQ(Ifd().power(Lun(reader_, slot), IFD_POWER_UP, atr, &length), expected);
        return Bytes(atr, atr + length);
    }

    // Sends an APDU with a response buffer of `capacity` bytes.
    RESPONSECODE Transmit(DWORD slot, const Bytes &apdu, Bytes *response, DWORD capacity = 300)
    {
        SCARD_IO_HEADER send = {slot == 1 ? 0UL : 1UL, 0};
        SCARD_IO_HEADER received = {};
        std::vector<UCHAR> buffer(capacity + 1);
        DWORD length = capacity;
        Bytes command = apdu;
        RESPONSECODE rv = Ifd().transmit(Lun(reader_, slot), send, command.data(),
                                         static_cast<DWORD>(command.size()), buffer.data(), &length, &received);
        response->assign(buffer.begin(), buffer.begin() + std::min<DWORD>(length, capacity));
        if (rv != IFD_SUCCESS) {
            EXPECT_EQ(length, 0UL) << "the response length is 0 after every error";
        }
        return rv;
    }

    RESPONSECODE Capability(DWORD slot, DWORD tag, Bytes *value, DWORD capacity = 64)
    {
        std::vector<UCHAR> buffer(capacity + 1);
        DWORD length = capacity;
        RESPONSECODE rv = Ifd().getCapabilities(Lun(reader_, slot), tag, &length, buffer.data());
        value->assign(buffer.begin(), buffer.begin() + std::min<DWORD>(length, capacity));
        return rv;
    }

    RESPONSECODE Control(DWORD code, const Bytes &command, Bytes *reply, DWORD capacity = 64)
    {
        std::vector<UCHAR> in = command, out(capacity + 1);
        DWORD returned = 12345;
        RESPONSECODE rv = Ifd().control(Lun(reader_, 0), code, in.empty() ? nullptr : in.data(),
                                        static_cast<DWORD>(in.size()), out.data(), capacity, &returned);
        reply->assign(out.begin(), out.begin() + std::min<DWORD>(returned, capacity));
        if (rv != IFD_SUCCESS) {
            EXPECT_EQ(returned, 0UL);
        }
        return rv;
    }

    kytsim::SimReader sim_;
    std::string port_;
    DWORD reader_ = 2;
    DWORD open_ = 0; // the last open_ slots have open channels
};

TEST_F(IfdHandlerTest, SlotsShareOneReaderUntilTheLastChannelCloses)
{
    Bytes value;
    ASSERT_EQ(Capability(0, TAG_IFD_SLOTS_NUMBER, &value), IFD_SUCCESS);
    EXPECT_EQ(value, Bytes{3});
    ASSERT_EQ(Capability(2, SCARD_ATTR_VENDOR_IFD_TYPE, &value), IFD_SUCCESS);
    EXPECT_EQ(std::string(value.begin(), value.end()), std::string("KYT7710P_V3", 12));
    // One detection for three channels: the firmware query of the open and
    // the handler's own model query.
    size_t escapes = 0;
    for (const Bytes &command : sim_.Commands())
        escapes += command[0] == 0x6B;
    EXPECT_EQ(escapes, 2u);

    // No fourth slot; the same reader index cannot name another port.
    EXPECT_EQ(Ifd().createByName(Lun(reader_, 3), port_.data()), IFD_COMMUNICATION_ERROR);
    char other[] = "/dev/null";
    EXPECT_EQ(Ifd().createByName(Lun(reader_, 0), other), IFD_COMMUNICATION_ERROR);

    // Closing slots 0 and 1 leaves slot 2 working on the shared handle.
    ASSERT_EQ(Ifd().close(Lun(reader_, 0)), IFD_SUCCESS);
    ASSERT_EQ(Ifd().close(Lun(reader_, 1)), IFD_SUCCESS);
    open_ = 1;
    EXPECT_EQ(Ifd().presence(Lun(reader_, 0)), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(Ifd().close(Lun(reader_, 0)), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(Ifd().presence(Lun(reader_, 2)), IFD_ICC_NOT_PRESENT);
    ASSERT_EQ(Ifd().close(Lun(reader_, 2)), IFD_SUCCESS);
    open_ = 0;
    EXPECT_EQ(Ifd().presence(Lun(reader_, 2)), IFD_COMMUNICATION_ERROR);

    // The closed reader's index is free again.
    ASSERT_EQ(Ifd().createByName(Lun(reader_, 2), port_.data()), IFD_SUCCESS);
    EXPECT_EQ(Ifd().presence(Lun(reader_, 2)), IFD_ICC_NOT_PRESENT);
    ASSERT_EQ(Ifd().close(Lun(reader_, 2)), IFD_SUCCESS);
}

TEST_F(IfdHandlerTest, HandlerPropertiesAndReadOnlyTags)
{
    struct Case { DWORD tag; UCHAR value; };
    for (Case c : {Case{TAG_IFD_SIMULTANEOUS_ACCESS, KYT_IFD_MAX_READERS}, Case{TAG_IFD_THREAD_SAFE, 1},
                   Case{TAG_IFD_SLOT_THREAD_SAFE, 1}}) {
        Bytes value;
        EXPECT_EQ(Capability(0, c.tag, &value), IFD_SUCCESS) << std::hex << c.tag;
        EXPECT_EQ(value, Bytes{c.value}) << std::hex << c.tag;
        EXPECT_EQ(Capability(0, c.tag, &value, 0), IFD_ERROR_INSUFFICIENT_BUFFER);
    }
    Bytes value;
    EXPECT_EQ(Capability(0, TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, &value), IFD_ERROR_TAG);
    UCHAR byte = 1;
    EXPECT_EQ(Ifd().setCapabilities(Lun(reader_, 0), TAG_IFD_ATR, 1, &byte), IFD_ERROR_VALUE_READ_ONLY);
    EXPECT_EQ(Ifd().setCapabilities(Lun(reader_, 0), 0x7777, 1, &byte), IFD_ERROR_TAG);
    // A Lun of a reader that was never opened.
    EXPECT_EQ(Capability(0, TAG_IFD_SLOTS_NUMBER, &value), IFD_SUCCESS);
    DWORD length = 1;
    EXPECT_EQ(Ifd().getCapabilities(Lun(reader_ + 1, 0), TAG_IFD_SLOTS_NUMBER, &length, &byte),
              IFD_COMMUNICATION_ERROR);
}

TEST_F(IfdHandlerTest, PowerKeepsTheAtrForTheCapabilityAndChecksBuffers)
{
    const Bytes atr = kytsim::DemoT1Card().atr;
    EXPECT_EQ(PowerUp(0), atr);
    Bytes value;
    ASSERT_EQ(Capability(0, TAG_IFD_ATR, &value), IFD_SUCCESS);
    EXPECT_EQ(value, atr);
    ASSERT_EQ(Capability(0, SCARD_ATTR_ATR_STRING, &value), IFD_SUCCESS);
    EXPECT_EQ(value, atr);
    EXPECT_EQ(Capability(0, TAG_IFD_ATR, &value, static_cast<DWORD>(atr.size() - 1)),
              IFD_ERROR_INSUFFICIENT_BUFFER);

    // An ATR buffer too small: the card is powered and the ATR kept all the same.
    UCHAR small[4];
    DWORD length = sizeof small;
    EXPECT_EQ(Ifd().power(Lun(reader_, 0), IFD_RESET, small, &length), IFD_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(length, 0UL);
    EXPECT_TRUE(sim_.CardPowered(0));
    ASSERT_EQ(Capability(0, TAG_IFD_ATR, &value), IFD_SUCCESS);
    EXPECT_EQ(value, atr);

    // A reset power-cycles the card.
    sim_.ClearLog();
    UCHAR full[MAX_ATR_SIZE];
    EXPECT_EQ(Ifd().power(Lun(reader_, 0), IFD_RESET, full, &(length = sizeof full)), IFD_SUCCESS);
    std::vector<uint8_t> types;
    for (const Bytes &command : sim_.Commands())
        types.push_back(command[0]);
    EXPECT_EQ(types, (std::vector<uint8_t>{0x63, 0x62}));

    length = MAX_ATR_SIZE;
    UCHAR buffer[MAX_ATR_SIZE];
    EXPECT_EQ(Ifd().power(Lun(reader_, 0), IFD_POWER_DOWN, buffer, &length), IFD_SUCCESS);
    EXPECT_FALSE(sim_.CardPowered(0));
    ASSERT_EQ(Capability(0, TAG_IFD_ATR, &value), IFD_SUCCESS);
    EXPECT_TRUE(value.empty());
    EXPECT_EQ(Ifd().power(Lun(reader_, 0), 999, buffer, &(length = MAX_ATR_SIZE)), IFD_NOT_SUPPORTED);

    // The empty slot, and a card that does not answer.
    PowerUp(2, IFD_ICC_NOT_PRESENT);
    kytsim::Card mute = kytsim::DemoT1Card();
    mute.mute = true;
    sim_.InsertCard(2, mute);
    PowerUp(2, IFD_ERROR_POWER_ACTION);
    EXPECT_EQ(Ifd().power(Lun(reader_, 2), IFD_POWER_DOWN, buffer, &length), IFD_SUCCESS);
}

TEST_F(IfdHandlerTest, ProtocolsAndApdusOnBothCards)
{
    PowerUp(0);
    PowerUp(1);
    struct Case { DWORD slot, protocol; RESPONSECODE expected; };
    for (Case c : {Case{0, SCARD_PROTOCOL_T0, IFD_PROTOCOL_NOT_SUPPORTED}, Case{0, 4, IFD_PROTOCOL_NOT_SUPPORTED},
                   Case{0, SCARD_PROTOCOL_T1, IFD_SUCCESS}, Case{1, SCARD_PROTOCOL_T1, IFD_PROTOCOL_NOT_SUPPORTED},
                   Case{1, SCARD_PROTOCOL_T0, IFD_SUCCESS}, Case{2, SCARD_PROTOCOL_T0, IFD_ERROR_POWER_ACTION}})
        EXPECT_EQ(Ifd().setProtocol(Lun(reader_, c.slot), c.protocol, 0, 0, 0, 0), c.expected)
            << "slot " << c.slot << " protocol " << c.protocol;
    // PTS1 11 keeps the default factors: bmFindexDindex 11 in SetParameters.
    EXPECT_EQ(Ifd().setProtocol(Lun(reader_, 0), SCARD_PROTOCOL_T1, IFD_NEGOTIATE_PTS1, 0x11, 0, 0), IFD_SUCCESS);
    EXPECT_EQ(sim_.LastParameters(0).at(3), 0x11);

    const Bytes iccid = {0x98, 0x94, 0x00, 0x21, 0x43, 0x65, 0x87, 0x09, 0x21, 0xF3, 0x90, 0x00};
    for (DWORD slot : {0u, 1u}) {
        Bytes response;
        ASSERT_EQ(Transmit(slot, kSelectMf, &response), IFD_SUCCESS);
        EXPECT_EQ(response, (Bytes{0x90, 0x00}));
        ASSERT_EQ(Transmit(slot, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x2F, 0xE2}, &response), IFD_SUCCESS);
        ASSERT_EQ(Transmit(slot, kReadIccid, &response), IFD_SUCCESS);
        EXPECT_EQ(response, iccid);
        // Response buffers too small for the 12 bytes, or for any status word.
        EXPECT_EQ(Transmit(slot, kReadIccid, &response, 11), IFD_ERROR_INSUFFICIENT_BUFFER);
        EXPECT_EQ(Transmit(slot, kReadIccid, &response, 1), IFD_ERROR_INSUFFICIENT_BUFFER);
        EXPECT_EQ(Transmit(slot, {}, &response), IFD_COMMUNICATION_ERROR);
    }
    // The unpowered card's slot: the reader reports the card inactive.
    Bytes response;
    EXPECT_EQ(Transmit(2, kSelectMf, &response), IFD_ICC_NOT_PRESENT);
}

TEST_F(IfdHandlerTest, PresenceFollowsRemovalAndReinsertion)
{
    EXPECT_EQ(Ifd().presence(Lun(reader_, 0)), IFD_SUCCESS); // present, unpowered
    EXPECT_EQ(Ifd().presence(Lun(reader_, 2)), IFD_ICC_NOT_PRESENT);
    PowerUp(0);
    EXPECT_EQ(Ifd().presence(Lun(reader_, 0)), IFD_SUCCESS);

    // Pulled during a session: APDUs and presence report no card.
    sim_.RemoveCard(0);
    Bytes response;
    EXPECT_EQ(Transmit(0, kSelectMf, &response), IFD_ICC_NOT_PRESENT);
    EXPECT_EQ(Ifd().presence(Lun(reader_, 0)), IFD_ICC_NOT_PRESENT);
    Bytes value;
    ASSERT_EQ(Capability(0, TAG_IFD_ATR, &value), IFD_SUCCESS);
    EXPECT_TRUE(value.empty());
    sim_.InsertCard(0, kytsim::DemoT1Card());
    EXPECT_EQ(Ifd().presence(Lun(reader_, 0)), IFD_SUCCESS);

    // Pulled and put back between two polls: reported absent once.
    PowerUp(0);
    sim_.RemoveCard(0);
    sim_.InsertCard(0, kytsim::DemoT1Card());
    EXPECT_EQ(Ifd().presence(Lun(reader_, 0)), IFD_ICC_NOT_PRESENT);
    EXPECT_EQ(Ifd().presence(Lun(reader_, 0)), IFD_SUCCESS);
    EXPECT_EQ(PowerUp(0), kytsim::DemoT1Card().atr);
}

TEST_F(IfdHandlerTest, EscapeCommands)
{
    Bytes reply;
    ASSERT_EQ(Control(KYT_IFD_IOCTL_ESCAPE, kFirmwareQuery, &reply), IFD_SUCCESS);
    EXPECT_EQ(reply, kytsim::FirmwareReply(kytsim::Model::KYT7710P_V3));
    EXPECT_EQ(Control(KYT_IFD_IOCTL_ESCAPE, kFirmwareQuery, &reply, 4), IFD_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(Control(KYT_IFD_IOCTL_ESCAPE, kFirmwareQuery, &reply, 0), IFD_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(Control(KYT_IFD_IOCTL_ESCAPE, {0x44, 0x04}, &reply), IFD_NOT_SUPPORTED);
    EXPECT_EQ(Control(KYT_IFD_IOCTL_ESCAPE, {}, &reply), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(Control(3500, kFirmwareQuery, &reply), IFD_ERROR_NOT_SUPPORTED);
    EXPECT_EQ(Control(KYT_IFD_IOCTL_GET_FEATURE_REQUEST, {}, &reply), IFD_SUCCESS);
    EXPECT_TRUE(reply.empty());
    // A command the reader refuses.
    sim_.SetEscapeHandler([](uint8_t, const Bytes &) { return std::optional<Bytes>(); });
    EXPECT_EQ(Control(KYT_IFD_IOCTL_ESCAPE, {0x01, 0x02}, &reply), IFD_COMMUNICATION_ERROR);
    sim_.SetEscapeHandler([](uint8_t, const Bytes &c) { return std::optional<Bytes>(c); });
    ASSERT_EQ(Control(KYT_IFD_IOCTL_ESCAPE, {0x01, 0x02}, &reply), IFD_SUCCESS);
    EXPECT_EQ(reply, (Bytes{0x01, 0x02}));
}

TEST_F(IfdHandlerTest, TwoSlotsAtOnceWhileTheThirdIsPolled)
{
    PowerUp(0);
    PowerUp(1);
    ASSERT_EQ(Ifd().setProtocol(Lun(reader_, 0), SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
    ASSERT_EQ(Ifd().setProtocol(Lun(reader_, 1), SCARD_PROTOCOL_T0, 0, 0, 0, 0), IFD_SUCCESS);
    std::atomic<int> failures{0};
    std::atomic<bool> done{false};
    auto worker = [&](DWORD slot) {
        for (int i = 0; i < 40; i++) {
            Bytes response;
            if (Transmit(slot, kSelectMf, &response) != IFD_SUCCESS || response != Bytes{0x90, 0x00})
                failures++;
        }
    };
    std::thread poller([&] {
        while (!done)
            if (Ifd().presence(Lun(reader_, 2)) != IFD_ICC_NOT_PRESENT)
                failures++;
    });
    std::thread a(worker, 0), b(worker, 1);
    a.join();
    b.join();
    done = true;
    poller.join();
    EXPECT_EQ(failures, 0);
}

TEST_F(IfdHandlerTest, VanishedReaderIsNoSuchDevice)
{
    PowerUp(0);
    sim_.Stop(); // the pty goes away, as a USB serial adapter that is pulled
    EXPECT_EQ(Ifd().presence(Lun(reader_, 0)), IFD_NO_SUCH_DEVICE);
    Bytes response;
    EXPECT_EQ(Transmit(0, kSelectMf, &response), IFD_NO_SUCH_DEVICE);
    // TearDown closes all three channels; the last close must not hang.
}

TEST(IfdHandlerOpen, NoReaderOnThePort)
{
    ASSERT_NE(Ifd().library, nullptr);
    char missing[] = "/nonexistent/ttyKYT";
    EXPECT_EQ(Ifd().createByName(Lun(5, 0), missing), IFD_NO_SUCH_DEVICE);
    EXPECT_EQ(Ifd().createByName(Lun(5, 0), nullptr), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(Ifd().presence(Lun(5, 0)), IFD_COMMUNICATION_ERROR);
    // A two-slot model shows two slots.
    kytsim::Config config;
    config.model = kytsim::Model::KYT7710P;
    kytsim::SimReader sim(config);
    ASSERT_TRUE(sim.Start());
    std::string port = sim.PortPath();
    ASSERT_EQ(Ifd().createByName(Lun(6, 0), port.data()), IFD_SUCCESS);
    UCHAR slots = 0;
    DWORD length = 1;
    EXPECT_EQ(Ifd().getCapabilities(Lun(6, 0), TAG_IFD_SLOTS_NUMBER, &length, &slots), IFD_SUCCESS);
    EXPECT_EQ(slots, 2);
    EXPECT_EQ(Ifd().createByName(Lun(6, 2), port.data()), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(Ifd().close(Lun(6, 0)), IFD_SUCCESS);
}

} // namespace
