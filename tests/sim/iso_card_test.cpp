// The simulated ISO 7816-4 card: its APDU handler driven directly, its ATRs,
// and the example scripts run against it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "iso_card.h"
#include "reader_rig.h"
#include "script.h"
#include "slot_info.h"

using kytsim::Bytes;

namespace {

// Hex digits of the text taken in pairs; everything else is ignored.
Bytes Hex(const std::string &text)
{
    Bytes out;
    int high = -1;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            continue;
        const int v = std::stoi(std::string(1, c), nullptr, 16);
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    return out;
}

std::string ToHex(const Bytes &bytes)
{
    std::string out;
    char buf[4];
    for (uint8_t b : bytes) {
        snprintf(buf, sizeof buf, "%s%02X", out.empty() ? "" : " ", b);
        out += buf;
    }
    return out;
}

// The expected text's hex digits and X (any nibble) against the response.
bool Matches(const std::string &expected, const Bytes &response)
{
    std::string nibbles;
    for (char c : expected)
        if (std::isxdigit(static_cast<unsigned char>(c)) || c == 'X' || c == 'x')
            nibbles += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (nibbles.size() != 2 * response.size())
        return false;
    const std::string actual = [&] {
        std::string s;
        char buf[3];
        for (uint8_t b : response) {
            snprintf(buf, sizeof buf, "%02X", b);
            s += buf;
        }
        return s;
    }();
    for (size_t i = 0; i < nibbles.size(); ++i)
        if (nibbles[i] != 'X' && nibbles[i] != actual[i])
            return false;
    return true;
}

struct Step {
    const char *command;
    const char *expected; // hex with X wildcards
};

// Runs the steps in order on one handler; stops at the first mismatch.
void RunSteps(const kytsim::ApduHandler &card, const std::vector<Step> &steps)
{
    for (const Step &step : steps) {
        const Bytes response = card(Hex(step.command));
        ASSERT_TRUE(Matches(step.expected, response))
            << "command " << step.command << "\n expected " << step.expected << "\n      got " << ToHex(response);
    }
}

// The 300 bytes of EF 0101.
Bytes AppFile()
{
    Bytes body(300);
    for (size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<uint8_t>((i & 0xFF) ^ (0xA5 * (i >> 8)));
    return body;
}

Bytes Slice(const Bytes &b, size_t from, size_t count)
{
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(from + count));
}

Bytes Plus(Bytes data, const Bytes &sw)
{
    data.insert(data.end(), sw.begin(), sw.end());
    return data;
}

const char *const kSelectApp = "00 A4 04 00 08 F0 4B 59 54 44 45 4D 4F";
const char *const kAppFci = "6F 14 82 01 38 83 02 50 00 84 08 F0 4B 59 54 44 45 4D 4F 8A 01 05";
const char *const kEf0101Fcp = "62 0E 82 01 01 83 02 01 01 80 02 01 2C 8A 01 05";

TEST(IsoCardSelect, ByFidAndNameWithAndWithoutTemplates)
{
    const std::string fci = std::string(kAppFci) + " 90 00";
    const std::string fcp = std::string(kEf0101Fcp) + " 90 00";
    RunSteps(kytsim::IsoCardHandler(false),
             {
                 {"00 A4 00 0C 02 3F 00", "90 00"},
                 {"00 A4 00 00 02 3F 00", "6F 0A 82 01 38 83 02 3F 00 8A 01 05 90 00"}, // the MF has no name
                 {"00 A4 04 00 08 F0 4B 59 54 44 45 4D 4F 00", fci.c_str()},            // case 4
                 {kSelectApp, fci.c_str()},                                             // case 3 answered too
                 {"00 A4 04 04 08 F0 4B 59 54 44 45 4D 4F",
                  "62 14 XX XX XX XX XX XX XX XX XX XX XX XX XX XX XX XX XX XX XX XX 90 00"},
                 {"00 A4 04 0C 08 F0 4B 59 54 44 45 4D 4F", "90 00"},
                 {"00 A4 02 04 02 01 01", fcp.c_str()},
                 {"00 A4 00 0C", "90 00"}, // P1 00 without data: the MF
                 {"00 A4 01 0C 02 50 00", "90 00"},
                 {"00 A4 01 0C 02 01 01", "6A 82"}, // P1 01 finds DFs only
                 {"00 A4 02 0C 02 2F 00", "6A 82"}, // P1 02 looks in the current DF only
                 {"00 A4 00 0C 02 2F 00", "90 00"}, // P1 00 also looks beside the current DF
                 {"00 A4 00 0C 02 50 00", "90 00"},
                 {"00 A4 00 0C 02 01 01", "90 00"},
                 {"00 A4 02 0C 02 3F 00", "90 00"}, // 3F00 is the MF for every P1
                 {"00 A4 02 0C 02 50 00", "6A 82"}, // P1 02 finds EFs only
                 {"00 A4 00 0C 02 01 01", "6A 82"}, // EF 0101 is not near the MF
             });
}

TEST(IsoCardSelect, NameMustMatchExactly)
{
    RunSteps(kytsim::IsoCardHandler(false),
             {
                 {"00 A4 04 0C 07 F0 4B 59 54 44 45 4D", "6A 82"},
                 {"00 A4 04 0C 09 F0 4B 59 54 44 45 4D 4F 00", "6A 82"},
                 {"00 A4 04 0C 08 F0 4B 59 54 44 45 4D 4E", "6A 82"},
                 {"00 A4 04 0C 11 F0 4B 59 54 44 45 4D 4F 00 00 00 00 00 00 00 00 00", "67 00"}, // over 16 bytes
             });
}

TEST(IsoCardSelect, FailedSelectKeepsTheSelection)
{
    RunSteps(kytsim::IsoCardHandler(false), {
                                                {"00 A4 04 0C 08 F0 4B 59 54 44 45 4D 4F", "90 00"},
                                                {"00 A4 02 0C 02 01 01", "90 00"},
                                                {"00 A4 00 0C 02 77 77", "6A 82"},
                                                {"00 A4 09 0C 02 01 01", "6A 86"},
                                                {"00 B0 00 00 02", "00 01 90 00"},
                                            });
}

TEST(IsoCardRead, OffsetsLeZeroAndTheEndOfTheFile)
{
    const Bytes body = AppFile();
    const auto card = kytsim::IsoCardHandler(false);
    card(Hex(kSelectApp));
    EXPECT_EQ(card(Hex("00 A4 00 0C 02 01 01")), Hex("90 00"));
    const Bytes ok = Hex("90 00"), eof = Hex("62 82");
    struct Case {
        const char *command;
        Bytes expected;
    } cases[] = {
        {"00 B0 00 00 01", Plus(Slice(body, 0, 1), ok)},
        {"00 B0 00 00 00", Plus(Slice(body, 0, 256), ok)},   // Le 00 is 256
        {"00 B0 00 2C 00", Plus(Slice(body, 44, 256), ok)},  // up to the last byte exactly
        {"00 B0 00 FF 03", Plus(Slice(body, 255, 3), ok)},   // across the 256 boundary
        {"00 B0 01 00 00", Plus(Slice(body, 256, 44), eof)}, // only 44 left
        {"00 B0 01 2B 02", Plus(Slice(body, 299, 1), eof)},
        {"00 B0 01 2B 01", Plus(Slice(body, 299, 1), ok)},
        {"00 B0 01 2C 01", Hex("6B 00")},
        {"00 B0 7F FF 01", Hex("6B 00")},
        {"00 B0 81 00 01", Hex("6A 86")},       // short EF identifier
        {"00 B0 00 00", Hex("67 00")},          // no Le
        {"00 B0 00 00 01 00", Hex("67 00")},    // command data...
        {"00 B0 00 00 01 00 01", Hex("67 00")}, // ...with Le too
    };
    for (const Case &c : cases)
        EXPECT_EQ(ToHex(card(Hex(c.command))), ToHex(c.expected)) << c.command;
}

TEST(IsoCardRead, NeedsACurrentEf)
{
    RunSteps(kytsim::IsoCardHandler(false),
             {
                 {"00 B0 00 00 01", "69 86"}, // fresh card: only the MF
                 {"00 A4 00 0C 02 2F E2", "90 00"},
                 {"00 B0 00 00 0A", "98 94 00 21 43 65 87 09 21 F3 90 00"},
                 {"00 B0 00 00 0B", "98 94 00 21 43 65 87 09 21 F3 62 82"},
                 {"00 A4 04 0C 08 F0 4B 59 54 44 45 4D 4F", "90 00"}, // a DF drops the EF
                 {"00 B0 00 00 01", "69 86"},
                 {"00 A4 00 0C 02 2F 00", "90 00"},
                 {"00 B0 00 00 00", "61 14 4F 08 F0 4B 59 54 44 45 4D 4F 50 08 4B 59 54 20 44 45 4D 4F 62 82"},
             });
}

TEST(IsoCardT1, ShortLeLeavesTheRestForGetResponse)
{
    RunSteps(kytsim::IsoCardHandler(false), {
                                                {"00 C0 00 00 00", "69 85"},
                                                {"00 A4 04 00 08 F0 4B 59 54 44 45 4D 4F 05", "6F 14 82 01 38 61 11"},
                                                {"00 C0 00 00 04", "83 02 50 00 61 0D"},
                                                {"00 C0 00 00 00", "84 08 F0 4B 59 54 44 45 4D 4F 8A 01 05 90 00"},
                                                {"00 C0 00 00 01", "69 85"},
                                                {"00 A4 04 00 08 F0 4B 59 54 44 45 4D 4F 01", "6F 61 15"},
                                                {"00 B0 00 00 01", "69 86"}, // any other command drops what is pending
                                                {"00 C0 00 00 15", "69 85"},
                                            });
}

TEST(IsoCardT0, ResponsesWaitForGetResponseAndWrongLeGives6C)
{
    const std::string fci = std::string(kAppFci) + " 90 00";
    const std::string fcp = std::string(kEf0101Fcp) + " 90 00";
    std::string read256;
    for (int i = 0; i < 256; ++i)
        read256 += "XX ";
    read256 += "90 00";
    RunSteps(kytsim::IsoCardHandler(true),
             {
                 {"00 A4 00 0C 02 3F 00", "90 00"}, // nothing to announce
                 {kSelectApp, "61 16"},
                 {"00 C0 00 00 00", "6C 16"}, // 256 asked, 22 pending
                 {"00 C0 00 00 17", "6C 16"},
                 {"00 C0 00 00 16", fci.c_str()}, // the 6C kept the data
                 {"00 C0 00 00 16", "69 85"},
                 {"00 A4 04 00 08 F0 4B 59 54 44 45 4D 4F 00", "61 16"}, // case 4 too
                 {"00 C0 00 00 10", "6F 14 82 01 38 83 02 50 00 84 08 F0 4B 59 54 44 61 06"},
                 {"00 C0 00 00 06", "45 4D 4F 8A 01 05 90 00"},
                 {"00 A4 02 04 02 01 01", "61 10"},
                 {"00 C0 00 00 10", fcp.c_str()},
                 {"00 B0 00 00 03", "00 01 02 90 00"}, // READ BINARY answers at once
                 {"00 B0 01 00 00", "6C 2C"},          // Le 256, 44 left
                 {"00 B0 01 2B 02", "6C 01"},
                 {"00 B0 01 2B 01", "8E 90 00"}, // 2B ^ A5
                 {"00 B0 01 2C 01", "6B 00"},
                 {"00 B0 00 2C 00", read256.c_str()}, // exactly 256 left
                 {"00 B0 00 2D 00", "6C FF"},         // 255 left
                 {"00 A4 04 00 08 F0 4B 59 54 44 45 4D 4F", "61 16"},
                 {"00 B0 00 00 01", "69 86"}, // drops the pending FCI
                 {"00 C0 00 00 16", "69 85"},
             });
}

TEST(IsoCardErrors, StatusWordsForBadCommands)
{
    const Step cases[] = {
        {"", "67 00"},
        {"00", "67 00"},
        {"00 A4", "67 00"},
        {"00 A4 00", "67 00"},
        {"80 A4 00 0C 02 3F 00", "6E 00"},
        {"FF B0 00 00 01", "6E 00"},
        {"01 A4 00 0C 02 3F 00", "6E 00"},
        {"00 CA 9F 7F 00", "6D 00"},
        {"00 D6 00 00 01 00", "6D 00"},
        {"00 00 00 00", "6D 00"},
        {"00 A4 04 00 08 F0 4B", "67 00"},       // Lc longer than the data
        {"00 A4 04 00 02 F0 4B 59 54", "67 00"}, // two bytes too many
        {"00 A4 00 0C 03 3F 00 00 00", "67 00"}, // FID of 3 bytes... with Le
        {"00 A4 00 0C 03 3F 00 00", "67 00"},    // ...and without
        {"00 A4 01 0C 01 50", "67 00"},
        {"00 A4 02 0C", "67 00"}, // P1 02 needs a FID
        {"00 A4 04 0C", "67 00"},
        {"00 B0 00 00 00 01 00", "67 00"},                         // extended Le
        {"00 B0 00 00 00 00", "67 00"},                            // Lc 00 is no short Lc
        {"00 A4 04 00 00 00 08 F0 4B 59 54 44 45 4D 4F", "67 00"}, // extended Lc
        {"00 A4 08 0C 02 3F 00", "6A 86"},                         // path selection
        {"00 A4 03 0C", "6A 86"},
        {"00 A4 00 02 02 3F 00", "6A 86"}, // next occurrence
        {"00 A4 00 08 02 3F 00", "6A 86"},
        {"00 C0 01 00 10", "6A 86"},
        {"00 C0 00 00", "67 00"},
        {"00 C0 00 00 01 00", "67 00"},
        {"00 84 01 00 08", "6A 86"},       // GET CHALLENGE: P1-P2 0000 only
        {"00 84 00 00", "67 00"},          // no Le
        {"00 84 00 00 01 AA", "67 00"},    // command data
        {"00 82 00 00 02 01 02", "69 85"}, // EXTERNAL AUTHENTICATE: no challenge
        {"00 82 00 01 02 01 02", "6A 86"},
        {"00 82 00 00", "67 00"},             // no cryptogram
        {"00 82 00 00 02 01 02 00", "67 00"}, // an Le
    };
    for (bool t0 : {false, true}) {
        for (const Step &step : cases) {
            const Bytes response = kytsim::IsoCardHandler(t0)(Hex(step.command));
            EXPECT_TRUE(Matches(step.expected, response))
                << (t0 ? "T=0 " : "T=1 ") << "'" << step.command << "' gave " << ToHex(response);
        }
    }
}

// A card made with extended lengths takes three-byte Lc and two-byte Le; the
// short forms and the checks on them stay as they are.
TEST(IsoCardExtended, ExtendedLcAndLe)
{
    const Bytes body = AppFile();
    const std::string all = ToHex(Plus(body, {0x90, 0x00}));
    RunSteps(kytsim::IsoCardHandler(false, true),
             {
                 {"00 A4 04 0C 00 00 08 F0 4B 59 54 44 45 4D 4F", "90 00"}, // extended Lc, no Le
                 {"00 A4 00 04 00 00 02 01 01 00 00", std::string(kEf0101Fcp).append(" 90 00").c_str()},
                 {"00 B0 00 00 00 01 2C", all.c_str()},                                           // 300 bytes at once
                 {"00 B0 00 00 00 00 00", all.substr(0, all.size() - 5).append("62 82").c_str()}, // 65536 asked
                 {"00 B0 01 00 00 00 02", ToHex(Plus(Slice(body, 256, 2), {0x90, 0x00})).c_str()},
                 {"00 B0 00 00 05", ToHex(Plus(Slice(body, 0, 5), {0x90, 0x00})).c_str()}, // short still works
                 {"00 A4 00 0C 00 00 03 01 01", "67 00"},                                  // Lc longer than the data
                 {"00 A4 00 0C 00 00 00 01 01", "67 00"},                                  // Lc 0000
                 {"00 B0 00 00 00 01", "67 00"},                                           // half an extended Le
                 {"00 A4 00 0C 00 00 02 01 01 00", "67 00"},                               // one byte of Le
                 {"00 84 00 00 00 01 01", "67 00"},                                        // a challenge of 257 bytes
             });
}

// GET CHALLENGE gives the Le bytes asked for, 1 to 256, under T=0 as under
// T=1, and in extended form too.
TEST(IsoCardChallenge, LeGivesTheLength)
{
    const struct {
        bool t0, extended;
        const char *apdu;
        size_t bytes;
    } cases[] = {
        {false, false, "00 84 00 00 01", 1},        {true, false, "00 84 00 00 08", 8},
        {false, false, "00 84 00 00 00", 256},      {true, false, "00 84 00 00 00", 256},
        {false, true, "00 84 00 00 00 01 00", 256}, {false, true, "00 84 00 00 00 00 10", 16},
    };
    for (const auto &c : cases) {
        const Bytes response = kytsim::IsoCardHandler(c.t0, c.extended)(Hex(c.apdu));
        ASSERT_EQ(response.size(), c.bytes + 2) << c.apdu;
        EXPECT_EQ(Slice(response, c.bytes, 2), Hex("90 00")) << c.apdu;
    }
}

// Any byte string is answered with a status word; the handler survives it.
TEST(IsoCardErrors, RandomApdusAlwaysGetAStatusWord)
{
    std::mt19937 rng(7816);
    const Bytes headers[] = {Hex("00 A4 00 00"), Hex("00 A4 04 00"), Hex("00 A4 02 04"),
                             Hex("00 B0 00 00"), Hex("00 B0 01 2B"), Hex("00 C0 00 00")};
    for (int kind = 0; kind < 3; ++kind) {
        const bool t0 = kind == 1;
        const auto card = kytsim::IsoCardHandler(t0, kind == 2);
        for (int i = 0; i < 20000; ++i) {
            Bytes apdu;
            if (i % 2 == 0) {
                apdu = headers[rng() % std::size(headers)];
                if (rng() % 4 == 0)
                    apdu.resize(rng() % 4);
            }
            const size_t extra = rng() % 3 == 0 ? rng() % 300 : rng() % 12;
            for (size_t k = 0; k < extra; ++k)
                apdu.push_back(static_cast<uint8_t>(rng()));
            const Bytes response = card(apdu);
            ASSERT_GE(response.size(), 2u) << ToHex(apdu);
            ASSERT_LE(response.size(), 300u + 2) << ToHex(apdu); // no file is longer
            const uint8_t sw1 = response[response.size() - 2];
            ASSERT_TRUE(sw1 == 0x90 || (sw1 >= 0x61 && sw1 <= 0x6F)) << ToHex(apdu) << " -> " << ToHex(response);
            if (response.size() > 2) { // data only with success, more data or end of file
                ASSERT_TRUE(sw1 == 0x90 || sw1 == 0x61 || (sw1 == 0x62 && response.back() == 0x82)) << ToHex(apdu);
            }
        }
        // Still a working card afterwards.
        EXPECT_EQ(card(Hex("00 A4 00 0C 02 3F 00")), Hex("90 00"));
    }
}

// ---- ATRs ----

// The library's own ATR parser on a slot of 4000 kHz, 10752 to 344100 bit/s.
CardCapabilities Parse(const Bytes &atr, KYT_ULONG *status)
{
    ReaderCapabilities reader{};
    reader.Protocols = KYT_PROTOCOL_T0 | KYT_PROTOCOL_T1;
    reader.DefaultClock = 4000;
    reader.MaxClock = 4000;
    reader.DefaultDataRate = 10752;
    reader.MaxDataRate = 344100;
    reader.MaxIfsd = 254;
    CardCapabilities card{};
    std::copy(atr.begin(), atr.end(), card.Atr);
    card.AtrLength = static_cast<uint8_t>(atr.size());
    card.NegotiationFlag = 1;
    *status = UpdateCardCapabilities(&reader, &card);
    return card;
}

uint8_t XorFromT0(const Bytes &atr)
{
    uint8_t x = 0;
    for (size_t i = 1; i < atr.size(); ++i)
        x ^= atr[i];
    return x;
}

TEST(IsoCardAtr, T1CardOffersT1WithIfsc254AndAValidCheckByte)
{
    const kytsim::Card card = kytsim::DemoT1Card();
    ASSERT_GE(card.atr.size(), 3u);
    EXPECT_EQ(card.atr[0], 0x3B);
    EXPECT_EQ(XorFromT0(card.atr), 0) << ToHex(card.atr);
    KYT_ULONG status = 1;
    const CardCapabilities caps = Parse(card.atr, &status);
    ASSERT_EQ(status, 0u) << ToHex(card.atr);
    EXPECT_EQ(caps.SupportedProtocols, KYT_PROTOCOL_T1);
    EXPECT_EQ(caps.T1Ifsc, 254);
    EXPECT_EQ(caps.T1Bwi, 4);
    EXPECT_EQ(caps.T1Cwi, 5);
    EXPECT_EQ(caps.T1Edc, 0);
    EXPECT_EQ(caps.HistoricalLength, 9);
    EXPECT_EQ(caps.FiIndex, 9); // TA1 96: Fi 512, Di 32, 250000 bit/s at 4 MHz
    EXPECT_EQ(caps.DiIndex, 6);
    EXPECT_EQ(caps.DataRate, 250000u);
    // Any other check byte is refused.
    Bytes damaged = card.atr;
    damaged.back() ^= 0x01;
    Parse(damaged, &status);
    EXPECT_EQ(status, static_cast<KYT_ULONG>(EMEDIUMTYPE));
    ASSERT_TRUE(card.handler);
    EXPECT_EQ(card.handler(Hex(kSelectApp)), Plus(Hex(kAppFci), Hex("90 00")));
    EXPECT_FALSE(card.mute);
}

TEST(IsoCardAtr, T0CardOffersOnlyT0AndHasNoCheckByte)
{
    const kytsim::Card card = kytsim::DemoT0Card();
    ASSERT_GE(card.atr.size(), 3u);
    EXPECT_EQ(card.atr[0], 0x3B);
    EXPECT_EQ(card.atr[1] & 0x80, 0); // no TD1: T=0 only, so no TCK either
    KYT_ULONG status = 1;
    const CardCapabilities caps = Parse(card.atr, &status);
    ASSERT_EQ(status, 0u) << ToHex(card.atr);
    EXPECT_EQ(caps.SupportedProtocols, KYT_PROTOCOL_T0);
    EXPECT_EQ(caps.T0WaitingInteger, 10);
    EXPECT_EQ(caps.HistoricalLength, 7);
    EXPECT_EQ(caps.FiIndex, 1); // TA1 18: Fi 372, Di 12
    EXPECT_EQ(caps.DiIndex, 8);
    // One byte more (a TCK, say) is refused.
    Bytes longer = card.atr;
    longer.push_back(XorFromT0(card.atr));
    Parse(longer, &status);
    EXPECT_EQ(status, static_cast<KYT_ULONG>(EMEDIUMTYPE));
    ASSERT_TRUE(card.handler);
    EXPECT_EQ(card.handler(Hex(kSelectApp)), Hex("61 16"));
    EXPECT_FALSE(card.mute);
}

// ---- the example scripts ----

// The card that ExampleTransmit talks to.
kytsim::ApduHandler g_exampleCard;

KYT_STATUS ExampleTransmit(ReaderHandle, KYT_ULONG, const unsigned char *command, KYT_ULONG commandLength,
                           unsigned char *response, KYT_ULONG responseSize, KYT_ULONG *responseLength)
{
    const Bytes answer = g_exampleCard(Bytes(command, command + commandLength));
    if (answer.size() > responseSize)
        return E2BIG;
    std::copy(answer.begin(), answer.end(), response);
    *responseLength = answer.size();
    return 0;
}

// Runs an example through kyt_test's own script runner; checks that every
// pair of the script was sent and matched.
void ExpectExamplePasses(const std::string &name, ReaderHandle handle, KYT_ULONG slot, ScriptTransmitFn transmit)
{
    const std::string path = std::string(KYT_SOURCE_DIR) + "/examples/" + name;
    testing::internal::CaptureStdout();
    RunScript(handle, slot, path.c_str(), transmit);
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(output.find("Error"), std::string::npos) << output;
    size_t pairs = 0;
    for (size_t at = output.find("Compare OK"); at != std::string::npos; at = output.find("Compare OK", at + 1))
        ++pairs;
    std::ifstream script(path);
    size_t commands = 0;
    for (std::string line; std::getline(script, line);) {
        const size_t first = line.find_first_not_of(" \t\r");
        if (first != std::string::npos && line[first] != ';')
            ++commands;
    }
    EXPECT_GE(pairs, 8u) << output;
    EXPECT_EQ(2 * pairs, commands) << "every command line has its expected line and passed\n" << output;
}

TEST(IsoCardExamples, ScriptsPassAgainstTheHandler)
{
    g_exampleCard = kytsim::IsoCardHandler(false);
    ExpectExamplePasses("select-read-t1.apdu", nullptr, 0, ExampleTransmit);
    g_exampleCard = kytsim::IsoCardHandler(true);
    ExpectExamplePasses("select-read-t0.apdu", nullptr, 1, ExampleTransmit);
    g_exampleCard = nullptr;
}

// The way a user runs them: the demo cards in slots 0 and 1 of the simulated
// reader, the library on its pseudo-terminal, each card powered on with its
// protocol set, the scripts sent with KYT_ExchangeApdu.
TEST(IsoCardExamples, ScriptsPassThroughTheLibrary)
{
    const auto sim = rig::StartSim();
    ASSERT_TRUE(sim);
    sim->InsertCard(0, kytsim::DemoT1Card());
    sim->InsertCard(1, kytsim::DemoT0Card());
    ReaderHandle handle = rig::Open(*sim);
    ASSERT_NE(handle, nullptr);
    const struct {
        const char *script;
        KYT_ULONG slot, protocol;
    } runs[] = {{"select-read-t1.apdu", 0, KYT_PROTOCOL_T1}, {"select-read-t0.apdu", 1, KYT_PROTOCOL_T0}};
    for (const auto &run : runs) {
        unsigned char atr[64];
        KYT_ULONG atrLength = sizeof atr;
        ASSERT_EQ(KYT_PowerOnIcc(handle, run.slot, atr, &atrLength), 0u);
        KYT_ULONG active = 0;
        ASSERT_EQ(KYT_SetProtocol(handle, run.slot, run.protocol, &active), 0u);
        EXPECT_EQ(active, run.protocol);
        ExpectExamplePasses(run.script, handle, run.slot, TransmitApdu);
        // Run again without a power cycle: the scripts select the MF first.
        ExpectExamplePasses(run.script, handle, run.slot, TransmitApdu);
    }
    EXPECT_EQ(KYT_Close(handle), 0u);
}

} // namespace
