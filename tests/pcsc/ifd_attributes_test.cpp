// What PC/SC clients read about the reader: SCardGetAttrib's attributes,
// pcscd's own tags, the part 10 feature list and TLV properties.
#include <string.h>
#include <sys/stat.h>

#include <string>

#include <gtest/gtest.h>

#include "demo_card.h"
#include "ifd_kyt.h"
#include "ifd_rig.h"
#include "iso_card.h"

namespace {

using namespace ifdtest;

// A number attribute: 32 bits in the host's order, whatever the width of
// the C type DWORD (8 bytes on 64-bit Linux), as Windows defines them and
// pcsc-lite's clients unpack them.
Bytes Dword(uint32_t value)
{
    Bytes bytes(sizeof value);
    memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

Bytes Text(const std::string &text)
{
    Bytes bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

// The number ending the name of the pty the rig's link leads to, plus one.
uint32_t PortNumber(const std::string &link)
{
    char resolved[PATH_MAX];
    if (!realpath(link.c_str(), resolved))
        return 0;
    const char *digits = strrchr(resolved, '/');
    return static_cast<uint32_t>(strtoul(digits ? digits + 1 : resolved, nullptr, 10) + 1);
}

class IfdAttributesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(Ifd().library, nullptr);
        ASSERT_TRUE(rig_.Plug());
        ASSERT_EQ(rig_.OpenChannels(), IFD_SUCCESS);
    }
    Bytes Value(DWORD slot, DWORD tag)
    {
        Bytes value;
        EXPECT_EQ(rig_.Capability(slot, tag, &value), IFD_SUCCESS) << std::hex << tag;
        return value;
    }

    ReaderRig rig_{3};
};

TEST_F(IfdAttributesTest, ReaderAttributes)
{
    struct Case {
        const char *name;
        DWORD tag;
        Bytes value;
    };
    const Case cases[] = {
        {"vendor", SCARD_ATTR_VENDOR_NAME, Text("KYT")},
        {"model", SCARD_ATTR_VENDOR_IFD_TYPE, Text("KYT7710P_V3")},
        {"version 1.0.1", SCARD_ATTR_VENDOR_IFD_VERSION, Dword(0x01000001)},
        {"serial port", SCARD_ATTR_CHANNEL_ID, Dword(0x00010000 | PortNumber(rig_.Link()))},
        {"longest command", SCARD_ATTR_MAXINPUT, Dword(65544)},
        {"slots", TAG_IFD_SLOTS_NUMBER, {3}},
    };
    for (const Case &c : cases) {
        for (DWORD slot = 0; slot < 3; slot++)
            EXPECT_EQ(Value(slot, c.tag), c.value) << c.name << ", slot " << slot;
    }
    Bytes value;
    EXPECT_EQ(rig_.Capability(0, SCARD_ATTR_VENDOR_IFD_SERIAL_NO, &value), IFD_ERROR_TAG);
    EXPECT_EQ(rig_.Capability(0, SCARD_ATTR_VENDOR_NAME, &value, 3), IFD_ERROR_INSUFFICIENT_BUFFER);
    UCHAR byte = 1;
    for (DWORD tag : {DWORD{SCARD_ATTR_VENDOR_NAME}, DWORD{SCARD_ATTR_CHANNEL_ID}, DWORD{TAG_IFD_ATR}})
        EXPECT_EQ(Ifd().setCapabilities(rig_.Lun(0), tag, 1, &byte), IFD_ERROR_VALUE_READ_ONLY);
    EXPECT_EQ(Ifd().setCapabilities(rig_.Lun(0), 0x7777, 1, &byte), IFD_ERROR_TAG);
}

TEST_F(IfdAttributesTest, CardAttributesFollowTheCard)
{
    // Slot 0 holds an unpowered card, slot 2 none.
    EXPECT_EQ(Value(0, SCARD_ATTR_ICC_PRESENCE), Bytes{2});
    EXPECT_EQ(Value(0, SCARD_ATTR_ICC_INTERFACE_STATUS), Bytes{0});
    EXPECT_EQ(Value(2, SCARD_ATTR_ICC_PRESENCE), Bytes{0});
    EXPECT_EQ(Value(2, SCARD_ATTR_ICC_INTERFACE_STATUS), Bytes{0});
    EXPECT_EQ(Value(0, SCARD_ATTR_CURRENT_PROTOCOL_TYPE), Dword(0));
    EXPECT_TRUE(Value(0, SCARD_ATTR_ATR_STRING).empty());

    rig_.PowerUp(0);
    EXPECT_EQ(Value(0, SCARD_ATTR_ICC_INTERFACE_STATUS), Bytes{1});
    EXPECT_EQ(Value(0, SCARD_ATTR_ATR_STRING), kytsim::DemoT1Card().atr);
    EXPECT_EQ(Value(0, SCARD_ATTR_CURRENT_PROTOCOL_TYPE), Dword(0));
    ASSERT_EQ(Ifd().setProtocol(rig_.Lun(0), SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
    EXPECT_EQ(Value(0, SCARD_ATTR_CURRENT_PROTOCOL_TYPE), Dword(SCARD_PROTOCOL_T1));
    rig_.PowerUp(1);
    ASSERT_EQ(Ifd().setProtocol(rig_.Lun(1), SCARD_PROTOCOL_T0, 0, 0, 0, 0), IFD_SUCCESS);
    EXPECT_EQ(Value(1, SCARD_ATTR_CURRENT_PROTOCOL_TYPE), Dword(SCARD_PROTOCOL_T0));

    // A power cycle forgets the protocol; the card pulled out empties it all.
    rig_.PowerUp(0);
    EXPECT_EQ(Value(0, SCARD_ATTR_CURRENT_PROTOCOL_TYPE), Dword(0));
    rig_.Sim().RemoveCard(0);
    EXPECT_EQ(Value(0, SCARD_ATTR_ICC_PRESENCE), Bytes{0});
    EXPECT_EQ(Value(0, SCARD_ATTR_ICC_INTERFACE_STATUS), Bytes{0});
}

TEST_F(IfdAttributesTest, FeatureListAndTlvProperties)
{
    Bytes features;
    ASSERT_EQ(rig_.Control(KYT_IFD_IOCTL_GET_FEATURE_REQUEST, {}, &features), IFD_SUCCESS);
    // FEATURE_GET_TLV_PROPERTIES at SCARD_CTL_CODE(3401) and
    // FEATURE_CCID_ESC_COMMAND at SCARD_CTL_CODE(3500), big-endian.
    EXPECT_EQ(features, (Bytes{0x12, 0x04, 0x42, 0x00, 0x0D, 0x49, 0x13, 0x04, 0x42, 0x00, 0x0D, 0xAC}));
    EXPECT_EQ(rig_.Control(KYT_IFD_IOCTL_GET_FEATURE_REQUEST, {}, &features, 11), IFD_ERROR_INSUFFICIENT_BUFFER);

    Bytes properties;
    ASSERT_EQ(rig_.Control(KYT_IFD_IOCTL_GET_TLV_PROPERTIES, {}, &properties), IFD_SUCCESS);
    Bytes expected = {0x01, 0x02, 0x00, 0x00,             // wLcdLayout: no display
                      0x09, 0x01, 0x00,                   // bPPDUSupport: none
                      0x0A, 0x04, 0x00, 0x00, 0x01, 0x00, // dwMaxAPDUDataSize 65536
                      0x08, 17};                          // sFirmwareID
    const std::string &firmware = demo::kFirmwareText;
    expected.insert(expected.end(), firmware.begin(), firmware.end());
    EXPECT_EQ(properties, expected);
}

// Nothing is assumed of the first five bytes of the firmware reply: another
// reader's header, and a text with a suffix and line end.
TEST(IfdIdentity, TheModelAndVersionComeFromTheTextAlone)
{
    kytsim::Config config;
    config.model = kytsim::Model::KYT4460P;
    const std::string text = "KYT4460P V2.10b build 7\r\n";
    Bytes reply = {0x00, 0x11, 0x22, 0x33, 0x02};
    reply.insert(reply.end(), text.begin(), text.end());
    config.firmwareReply = reply;
    ReaderRig rig(4, config);
    ASSERT_TRUE(rig.Plug());
    ASSERT_EQ(rig.OpenChannels(), IFD_SUCCESS);
    Bytes value;
    ASSERT_EQ(rig.Capability(0, SCARD_ATTR_VENDOR_IFD_TYPE, &value), IFD_SUCCESS);
    EXPECT_EQ(value, Text("KYT4460P"));
    ASSERT_EQ(rig.Capability(0, SCARD_ATTR_VENDOR_IFD_VERSION, &value), IFD_SUCCESS);
    EXPECT_EQ(value, Dword(0x020A0000));
}

} // namespace
