// The handler's reading of DEVICENAME options and of the firmware reply,
// on their own.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "firmware.h"
#include "ifd_rig.h"
#include "log.h"
#include "options.h"

namespace {

using namespace ifdkyt;

std::string Prefixes(const ReaderOptions &options)
{
    std::string text;
    for (size_t i = 0; i < options.prefixCount; i++) {
        if (!text.empty())
            text += ' ';
        for (size_t j = 0; j < options.prefixes[i].length; j++) {
            char hex[3];
            snprintf(hex, sizeof hex, "%02X", options.prefixes[i].bytes[j]);
            text += hex;
        }
    }
    return text;
}

class DeviceNameTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kyt-names.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
        for (const char *name : {"ttyKYT0", "by-path:pci-0000:00:14.0-port0"}) {
            std::string path = folder_ + "/" + name;
            FILE *file = fopen(path.c_str(), "w");
            ASSERT_NE(file, nullptr);
            fclose(file);
        }
    }
    void TearDown() override
    {
        for (const char *name : {"ttyKYT0", "by-path:pci-0000:00:14.0-port0"})
            unlink((folder_ + "/" + name).c_str());
        rmdir(folder_.c_str());
    }
    std::string folder_;
};

TEST_F(DeviceNameTest, ThePortAndItsOptions)
{
    struct Case {
        std::string name, port;
        unsigned long speed;
        bool all;
        std::string prefixes;
        size_t errors;
    };
    const std::string tty = folder_ + "/ttyKYT0";
    const std::string byPath = folder_ + "/by-path:pci-0000:00:14.0-port0";
    const std::string missing = folder_ + "/ttyUSB9";
    const Case cases[] = {
        {tty, tty, 115200, false, "", 0},
        {tty + ":speed=57600", tty, 57600, false, "", 0},
        {tty + ":speed=keep:escape=all", tty, 0, true, "", 0},
        {tty + ":escape=a5:escape=A501FF", tty, 115200, false, "A5 A501FF", 0},
        {tty + ":escape=A5:escape=version", tty, 115200, false, "", 0},
        {tty + ":speed=230400", tty, 115200, false, "", 1}, // the port cannot
        {tty + ":speed=", tty, 115200, false, "", 1},
        {tty + ":escape=A", tty, 115200, false, "", 1}, // odd digits
        {tty + ":escape=0102030405060708", tty, 115200, false, "0102030405060708", 0},
        {tty + ":escape=010203040506070809", tty, 115200, false, "", 1}, // too long
        {tty + ":escape=44", tty, 115200, false, "", 1},
        {tty + ":fast", tty, 115200, false, "", 1},
        {tty + ":", tty, 115200, false, "", 1},
        {byPath, byPath, 115200, false, "", 0},
        {byPath + ":speed=38400", byPath, 38400, false, "", 0},
        // A port that is not there (yet): options begin at a "name=value".
        {missing + ":speed=19200", missing, 19200, false, "", 0},
        {missing, missing, 115200, false, "", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ifdtest::ClearLog();
        char port[512];
        ReaderOptions options;
        ASSERT_TRUE(ParseDeviceName(c.name.c_str(), port, sizeof port, &options));
        EXPECT_EQ(std::string(port), c.port);
        EXPECT_EQ(options.speed, c.speed);
        EXPECT_EQ(options.allEscapes, c.all);
        EXPECT_EQ(Prefixes(options), c.prefixes);
        EXPECT_EQ(ifdtest::LogLines().size(), c.errors);
    }
}

TEST_F(DeviceNameTest, TimeoutSlotsAndLogTopics)
{
    struct Case {
        std::string options;
        unsigned seconds;
        unsigned long slots;
        unsigned topics;
        size_t errors;
    };
    const Case cases[] = {
        {"", 60, 0, 0, 0},
        {":timeout=120:slots=2:log=calls", 120, 2, kLogCalls, 0},
        {":timeout=1:timeout=3600", 3600, 0, 0, 0},
        {":log=escapes+polls", 60, 0, kLogEscapes | kLogPolls, 0},
        {":log=all:log=errors", 60, 0, 0, 0},
        {":log=all", 60, 0, kLogAllTopics, 0},
        // Out of range or malformed: logged, the default kept.
        {":timeout=0", 60, 0, 0, 1},
        {":timeout=3601", 60, 0, 0, 1},
        {":timeout=-5", 60, 0, 0, 1},
        {":timeout=99999999999999999999", 60, 0, 0, 1},
        {":timeout=", 60, 0, 0, 1},
        {":slots=0:slots=4:slots=two", 60, 0, 0, 3},
        {":log=calls+", 60, 0, 0, 1},
        {":log=loud", 60, 0, 0, 1},
        {":log=", 60, 0, 0, 1},
    };
    const std::string tty = folder_ + "/ttyKYT0";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.options);
        ifdtest::ClearLog();
        char port[512];
        ReaderOptions options;
        ASSERT_TRUE(ParseDeviceName((tty + c.options).c_str(), port, sizeof port, &options));
        EXPECT_EQ(options.commandSeconds, c.seconds);
        EXPECT_EQ(options.slots, c.slots);
        EXPECT_EQ(options.logTopics, c.topics);
        EXPECT_EQ(ifdtest::LogLines().size(), c.errors);
    }
}

TEST_F(DeviceNameTest, NineEscapePrefixesAreOneTooMany)
{
    std::string name = folder_ + "/ttyKYT0";
    for (int i = 1; i <= 9; i++)
        name += ":escape=0" + std::to_string(i);
    ifdtest::ClearLog();
    char port[512];
    ReaderOptions options;
    ASSERT_TRUE(ParseDeviceName(name.c_str(), port, sizeof port, &options));
    EXPECT_EQ(options.prefixCount, kMaxEscapePrefixes);
    EXPECT_EQ(ifdtest::LogLinesContaining("escape=09 ignored: at most 8"), 1u);
}

TEST_F(DeviceNameTest, NamesThatDoNotFit)
{
    char port[16];
    ReaderOptions options;
    std::string tty = folder_ + "/ttyKYT0";
    EXPECT_FALSE(ParseDeviceName(tty.c_str(), port, sizeof port, &options));
    EXPECT_FALSE(ParseDeviceName(":speed=9600", port, sizeof port, &options));
    std::string huge(5000, 'a');
    char big[512];
    EXPECT_FALSE(ParseDeviceName(huge.c_str(), big, sizeof big, &options));
}

using kytsim::Bytes;

// A firmware reply: five header bytes, then the text.
Bytes Reply(const std::string &text, unsigned char lengthByte = 0)
{
    Bytes reply(5 + text.size());
    const unsigned char header[5] = {0xE1, 0x00, 0x00, 0x18, lengthByte};
    std::copy(header, header + 5, reply.begin());
    std::copy(text.begin(), text.end(), reply.begin() + 5);
    return reply;
}

TEST(FirmwareReply, ModelAndVersion)
{
    struct Case {
        Bytes reply;
        const char *text, *model;
        bool hasVersion;
        uint32_t version;
    };
    const Case cases[] = {
        {Reply("KYT7710P_V3 1.0.1"), "KYT7710P_V3 1.0.1", "KYT7710P_V3", true, 0x01000001},
        // Byte 4 says nothing of the text's length.
        {Reply("KYT7710P 2.3", 0xFF), "KYT7710P 2.3", "KYT7710P", true, 0x02030000},
        {Reply("KYT4460P V2.10b build 7\r\n"), "KYT4460P V2.10b build 7", "KYT4460P", true, 0x020A0000},
        {Reply("KYT4460P fw v1.2.65535"), "KYT4460P fw v1.2.65535", "KYT4460P", true, 0x0102FFFF},
        {Reply("KYT7710P_V3"), "KYT7710P_V3", "KYT7710P_V3", false, 0},
        {Reply("KYT7710P 256.1"), "KYT7710P 256.1", "KYT7710P", false, 0}, // major above 255
        {Reply("KYT7710P 1.2.65536"), "KYT7710P 1.2.65536", "KYT7710P", false, 0},
        {Reply("KYT7710P 2024"), "KYT7710P 2024", "KYT7710P", false, 0},
        {Reply(std::string("KYT7710P\0 1.0", 13)), "KYT7710P", "KYT7710P", false, 0},
        {Reply("  \tKYT7710P\x01\x02 3.4  "), "KYT7710P 3.4", "KYT7710P", true, 0x03040000},
        {{0xE1, 0x00, 0x00, 0x18, 0x00}, "", "", false, 0},
        {{0xE1}, "", "", false, 0},
    };
    for (const Case &c : cases) {
        ReaderIdentity identity;
        ParseFirmwareReply(c.reply.data(), c.reply.size(), &identity);
        SCOPED_TRACE(c.text);
        EXPECT_STREQ(identity.text, c.text);
        EXPECT_STREQ(identity.model, c.model);
        EXPECT_EQ(identity.hasVersion, c.hasVersion);
        if (c.hasVersion) {
            EXPECT_EQ(identity.version, c.version);
        }
    }
}

TEST(FirmwareReply, ALongReplyIsCutToTheRoomThereIs)
{
    Bytes reply = Reply(std::string(200, 'K'));
    ReaderIdentity identity;
    ParseFirmwareReply(reply.data(), reply.size(), &identity);
    EXPECT_EQ(strlen(identity.text), kIdentityTextSize - 1);
    EXPECT_STREQ(identity.model, identity.text);
}

} // namespace
