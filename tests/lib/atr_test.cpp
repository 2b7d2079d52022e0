// The ATR parser on its own: what it derives, what it leaves alone, and that
// no ATR of up to 64 bytes can make it read outside the ATR.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reader_rig.h"

#include "slot_info.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Every field the parser might write starts out as this pattern, so a field
// it leaves alone is recognisable afterwards.
constexpr uint8_t kSentinel = 0xA5;
const KYT_ULONG kSentinelWord = static_cast<KYT_ULONG>(0xA5A5A5A5A5A5A5A5ULL);

// The first slot of the two- and three-slot contact readers.
constexpr KYT_ULONG kDefaultClock = 4000;
constexpr KYT_ULONG kDefaultRate = 10752;
constexpr KYT_ULONG kMaxRate = 344100;

using rig::Hex;

SlotInfo MakeSlot(const Bytes &atr, KYT_ULONG maxRate = kMaxRate, uint8_t negotiation = 1)
{
    SlotInfo slot;
    memset(&slot, kSentinel, sizeof(slot));
    slot.Reader.Protocols = KYT_PROTOCOL_T0 | KYT_PROTOCOL_T1;
    slot.Reader.DefaultClock = kDefaultClock;
    slot.Reader.MaxClock = kDefaultClock;
    slot.Reader.DefaultDataRate = kDefaultRate;
    slot.Reader.MaxDataRate = maxRate;
    slot.Reader.MaxIfsd = 254;
    for (size_t i = 0; i < atr.size() && i < ATR_MAX_LENGTH; ++i)
        slot.Card.Atr[i] = atr[i];
    slot.Card.AtrLength = static_cast<uint8_t>(atr.size());
    slot.Card.NegotiationFlag = negotiation;
    return slot;
}

KYT_ULONG Parse(SlotInfo *slot)
{
    return UpdateCardCapabilities(&slot->Reader, &slot->Card);
}

std::string AtrText(const Bytes &atr)
{
    std::string text;
    char byte[4];
    for (uint8_t b : atr) {
        snprintf(byte, sizeof(byte), "%02X ", b);
        text += byte;
    }
    return text;
}

// Field-by-field comparison of two whole records (padding excluded).
void ExpectSameRecord(const SlotInfo &got, const SlotInfo &want)
{
    const ReaderCapabilities &gr = got.Reader, &wr = want.Reader;
    EXPECT_EQ(gr.Protocols, wr.Protocols);
    EXPECT_EQ(gr.CardMode, wr.CardMode);
    EXPECT_EQ(gr.DefaultClock, wr.DefaultClock);
    EXPECT_EQ(gr.MaxClock, wr.MaxClock);
    EXPECT_EQ(gr.DefaultDataRate, wr.DefaultDataRate);
    EXPECT_EQ(gr.MaxDataRate, wr.MaxDataRate);
    EXPECT_EQ(gr.MaxIfsd, wr.MaxIfsd);
    const CardCapabilities &g = got.Card, &w = want.Card;
    EXPECT_EQ(g.InverseConvention, w.InverseConvention);
    EXPECT_EQ(0, memcmp(g.Atr, w.Atr, sizeof(g.Atr))) << "Atr";
    EXPECT_EQ(g.AtrLength, w.AtrLength);
    EXPECT_EQ(0, memcmp(g.HistoricalBytes, w.HistoricalBytes, sizeof(g.HistoricalBytes))) << "HistoricalBytes";
    EXPECT_EQ(g.HistoricalLength, w.HistoricalLength);
    EXPECT_EQ(g.FiIndex, w.FiIndex);
    EXPECT_EQ(g.DiIndex, w.DiIndex);
    EXPECT_EQ(g.ExtraGuardTime, w.ExtraGuardTime);
    EXPECT_EQ(g.SupportedProtocols, w.SupportedProtocols);
    EXPECT_EQ(g.SelectedProtocol, w.SelectedProtocol);
    EXPECT_EQ(g.T0WaitingInteger, w.T0WaitingInteger);
    EXPECT_EQ(g.T1Ifsc, w.T1Ifsc);
    EXPECT_EQ(g.T1Cwi, w.T1Cwi);
    EXPECT_EQ(g.T1Bwi, w.T1Bwi);
    EXPECT_EQ(g.T1Edc, w.T1Edc);
    EXPECT_EQ(g.NegotiationFlag, w.NegotiationFlag);
    EXPECT_EQ(g.NegFiIndex, w.NegFiIndex);
    EXPECT_EQ(g.NegDiIndex, w.NegDiIndex);
    EXPECT_EQ(g.Clock, w.Clock);
    EXPECT_EQ(g.DataRate, w.DataRate);
}

// ---------------------------------------------------------------------------
// Successful parses.  Fields left out are not checked; a field expected to be
// left alone is given as kSentinel.

struct Expect {
    std::optional<int> inverse = std::nullopt;
    std::optional<int> historicalLength = std::nullopt;
    std::optional<Bytes> historical = std::nullopt;
    std::optional<int> fi = std::nullopt, di = std::nullopt, egt = std::nullopt;
    std::optional<KYT_ULONG> supported = std::nullopt, selected = std::nullopt;
    std::optional<int> t0wi = std::nullopt;
    std::optional<int> ifsc = std::nullopt, cwi = std::nullopt, bwi = std::nullopt, edc = std::nullopt;
    std::optional<int> negFi = std::nullopt, negDi = std::nullopt;
    std::optional<KYT_ULONG> dataRate = std::nullopt;
    std::optional<KYT_ULONG> cardMode = std::nullopt;
};

struct ParseCase {
    const char *what;
    const char *atr;
    KYT_ULONG maxRate;
    uint8_t negotiation;
    Expect expect;
};

// Test names already say which case runs; print its ATR, not its bytes.
void PrintTo(const ParseCase &c, std::ostream *os)
{
    *os << c.atr;
}

template <typename Field, typename Want>
void CheckField(const char *name, Field got, const std::optional<Want> &want)
{
    if (want) {
        EXPECT_EQ(static_cast<Want>(got), *want) << name;
    }
}

void CheckExpectations(const SlotInfo &slot, const Expect &e)
{
    const CardCapabilities &c = slot.Card;
    CheckField("inverse", c.InverseConvention, e.inverse);
    CheckField("historicalLength", c.HistoricalLength, e.historicalLength);
    if (e.historical) {
        ASSERT_LE(e.historical->size(), sizeof(c.HistoricalBytes));
        EXPECT_EQ(Bytes(c.HistoricalBytes, c.HistoricalBytes + e.historical->size()), *e.historical);
        for (size_t i = e.historical->size(); i < sizeof(c.HistoricalBytes); ++i)
            EXPECT_EQ(c.HistoricalBytes[i], kSentinel) << "historical byte " << i << " beyond K";
    }
    CheckField("fi", c.FiIndex, e.fi);
    CheckField("di", c.DiIndex, e.di);
    CheckField("egt", c.ExtraGuardTime, e.egt);
    CheckField("supported", c.SupportedProtocols, e.supported);
    CheckField("selected", c.SelectedProtocol, e.selected);
    CheckField("t0wi", c.T0WaitingInteger, e.t0wi);
    CheckField("ifsc", c.T1Ifsc, e.ifsc);
    CheckField("cwi", c.T1Cwi, e.cwi);
    CheckField("bwi", c.T1Bwi, e.bwi);
    CheckField("edc", c.T1Edc, e.edc);
    CheckField("negFi", c.NegFiIndex, e.negFi);
    CheckField("negDi", c.NegDiIndex, e.negDi);
    CheckField("dataRate", c.DataRate, e.dataRate);
    CheckField("cardMode", slot.Reader.CardMode, e.cardMode);
}

const KYT_ULONG kT0 = KYT_PROTOCOL_T0, kT1 = KYT_PROTOCOL_T1, kBoth = kT0 | kT1;
const KYT_ULONG kNegotiable = CARD_MODE_NEGOTIABLE, kSpecific = CARD_MODE_SPECIFIC;
const KYT_ULONG kUntouched = kSentinelWord;

// One case to a few lines, its fields by name: clang-format would give each
// field a line of its own.
// clang-format off
const ParseCase kParseCases[] = {
    {"T=0 only, nothing else", "3B 00", kMaxRate, 1,
     {.inverse = 0, .historicalLength = 0, .historical = Bytes{}, .fi = 1, .di = 1, .egt = 0, .supported = kT0,
      .selected = kT0, .t0wi = 10, .ifsc = kSentinel, .cwi = kSentinel, .bwi = kSentinel, .edc = kSentinel, .negFi = 1,
      .negDi = 1, .dataRate = kDefaultRate, .cardMode = kSpecific}},
    {"inverse convention", "3F 10 11", kMaxRate, 1,
     {.inverse = 1, .historicalLength = 0, .fi = 1, .di = 1, .supported = kT0, .selected = kT0, .t0wi = 10,
      .negFi = 1, .negDi = 1, .dataRate = kDefaultRate, .cardMode = kSpecific}},
    {"TA1 96 fits at 9/6", "3B 16 96 00 11 22 33 44 55", kMaxRate, 1,
     {.historicalLength = 6, .historical = Hex("00 11 22 33 44 55"), .fi = 9, .di = 6, .supported = kT0,
      .selected = kUntouched, .negFi = 9, .negDi = 6, .dataRate = 250000, .cardMode = kNegotiable}},
    {"a rate equal to the limit fits", "3B 16 96 00 11 22 33 44 55", 125000, 1,
     {.negFi = 9, .negDi = 5, .dataRate = 125000, .cardMode = kNegotiable}},
    {"no negotiation keeps 1/1", "3B 16 96 00 11 22 33 44 55", kMaxRate, 0,
     {.fi = 9, .di = 6, .selected = kUntouched, .negFi = 1, .negDi = 1, .dataRate = kDefaultRate, .cardMode = kNegotiable}},
    {"Di walk goes by index", "3B 10 18", 125000, 1, {.negFi = 1, .negDi = 4, .dataRate = 86021, .cardMode = kNegotiable}},
    {"Di index 9, factor 20", "3B 10 19", kMaxRate, 1, {.negFi = 1, .negDi = 9, .dataRate = 215053}},
    {"first fit even below the default rate", "3B 10 62", kMaxRate, 1, {.negFi = 6, .negDi = 2, .dataRate = 4301}},
    {"Di index 1 ends the walk at 1/1", "3B 10 21", kMaxRate, 1,
     {.fi = 2, .di = 1, .negFi = 1, .negDi = 1, .dataRate = kDefaultRate, .cardMode = kNegotiable}},
    {"Fi 2048 with Di 8", "3B 10 D4", kMaxRate, 1, {.fi = 13, .di = 4, .negFi = 13, .negDi = 4, .dataRate = 15625}},
    {"T=1 only, parameters from group 3", "3B F8 13 00 00 81 31 FE 45 11 22 33 44 55 66 77 88 68", kMaxRate, 1,
     {.historicalLength = 8, .historical = Hex("11 22 33 44 55 66 77 88"), .fi = 1, .di = 3, .egt = 0,
      .supported = kT1, .selected = kUntouched, .t0wi = kSentinel, .ifsc = 254, .cwi = 5, .bwi = 4, .edc = 0,
      .negFi = 1, .negDi = 3, .dataRate = 43010, .cardMode = kNegotiable}},
    {"T=15 beside T=1 makes two protocols",
     "3B DA 18 FF 81 B1 FE 75 1F 03 01 02 03 04 05 06 07 08 09 0A 91", 125000, 1,
     {.historicalLength = 10, .egt = 255, .supported = kT1, .t0wi = kSentinel, .ifsc = 254, .cwi = 5, .bwi = 7,
      .edc = 0, .negFi = 1, .negDi = 4, .dataRate = 86021, .cardMode = kNegotiable}},
    {"T=0 and T=1", "3B 80 80 31 FE 45 8A", kMaxRate, 1,
     {.supported = kBoth, .selected = kUntouched, .t0wi = 10, .ifsc = 254, .cwi = 5, .bwi = 4, .edc = 0,
      .cardMode = kNegotiable}},
    {"T=1 only at 1/1 is specific", "3B 80 81 31 FE 45 8B", kMaxRate, 1,
     {.supported = kT1, .selected = kT1, .t0wi = kSentinel, .ifsc = 254, .cwi = 5, .bwi = 4, .negFi = 1, .negDi = 1,
      .dataRate = kDefaultRate, .cardMode = kSpecific}},
    {"T=1 parameters from empty group 2", "3B 80 01 81", kMaxRate, 1,
     {.supported = kT1, .selected = kT1, .ifsc = 32, .cwi = 13, .bwi = 4, .edc = 0, .cardMode = kSpecific}},
    {"TA2 sets the specific mode and IFSC", "3B 90 11 11 01 91", kMaxRate, 1,
     {.supported = kT1, .selected = kT1, .ifsc = 1, .cwi = 13, .bwi = 4, .cardMode = kSpecific}},
    {"T=1 parameters from group 4", "3B 80 80 81 71 11 22 33 F0", kMaxRate, 1,
     {.supported = kBoth, .selected = kUntouched, .t0wi = 10, .ifsc = 0x11, .cwi = 2, .bwi = 2, .edc = 1,
      .cardMode = kNegotiable}},
    {"only T=15 named", "3B 80 0F 8F", kMaxRate, 1,
     {.supported = 0, .selected = 0, .t0wi = kSentinel, .ifsc = kSentinel, .cardMode = kSpecific}},
    {"T=0 named only by TD2 is not supported", "3B 80 8F 00 0F", kMaxRate, 1,
     {.supported = 0, .t0wi = kSentinel, .cardMode = kNegotiable}},
    {"TC2 gives the waiting integer", "3B 80 40 FF", kMaxRate, 1, {.supported = kT0, .t0wi = 255}},
    {"TA2 naming T=0 selects T=0", "3B 90 11 10 00", kMaxRate, 1,
     {.supported = kT0, .selected = kT0, .t0wi = 10, .cardMode = kSpecific}},
    {"TA2 specific mode wins over TA1 factors", "3B 90 96 10 00", kMaxRate, 1,
     {.selected = kT0, .negFi = 9, .negDi = 6, .cardMode = kSpecific}},
    {"T=1 with CRC and zero IFSC", "3B 80 81 71 00 00 01 71", kMaxRate, 1,
     {.supported = kT1, .ifsc = 32, .cwi = 13, .bwi = 4, .edc = 1}},
    {"Fi index 0 with a fitting Di", "3B 10 08", kMaxRate, 1,
     {.fi = 0, .di = 8, .negFi = 0, .negDi = 8, .dataRate = 129032, .cardMode = kNegotiable}},
    {"Fi index 0 with Di 1 ends at 1/1", "3B 10 01", kMaxRate, 1,
     {.fi = 0, .di = 1, .negFi = 1, .negDi = 1, .dataRate = kDefaultRate, .cardMode = kNegotiable}},
    {"Fi index 0 where nothing fits ends at 1/1", "3B 10 08", 10000, 1,
     {.negFi = 1, .negDi = 1, .dataRate = kDefaultRate}},
    {"Fi walk passes the reserved indexes 8 and 7", "3B 10 93", 10000, 1,
     {.fi = 9, .di = 3, .negFi = 6, .negDi = 3, .dataRate = 8602}},
    {"fifteen historical bytes", "3B 0F 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F", kMaxRate, 1,
     {.historicalLength = 15, .historical = Hex("01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F")}},
    // TA2 names T=4 here: the specific mode takes the number as it stands.
    {"all sixteen interface bytes present",
     "3B F1 11 22 33 F0 44 55 66 F0 77 88 99 F1 AA BB CC 00 5A 96", kMaxRate, 1,
     {.historicalLength = 1, .historical = Hex("5A"), .egt = 0x33, .supported = kBoth, .selected = 1u << 4,
      .t0wi = 0x66, .ifsc = 0xAA, .cwi = 0x0B, .bwi = 0x0B, .edc = 0, .cardMode = kSpecific}},

    // Cards of common kinds.
    {"SIM, T=0 with TA1 94", "3B 3F 94 00 80 69 AF 03 07 01 59 00 00 0A 0E 83 3E 9F 16", kMaxRate, 1,
     {.historicalLength = 15, .historical = Hex("80 69 AF 03 07 01 59 00 00 0A 0E 83 3E 9F 16"), .fi = 9, .di = 4,
      .supported = kT0, .selected = kUntouched, .t0wi = 10, .ifsc = kSentinel, .negFi = 9, .negDi = 4,
      .dataRate = 62500, .cardMode = kNegotiable}},
    {"USIM, T=0 and T=15 with TA1 95", "3B 9E 95 80 1F C7 80 31 E0 73 FE 21 1B 66 D0 01 77 9F 0B 00 E1",
     kMaxRate, 1,
     {.historicalLength = 14, .fi = 9, .di = 5, .supported = kT0, .t0wi = 10, .ifsc = kSentinel, .negFi = 9,
      .negDi = 5, .dataRate = 125000, .cardMode = kNegotiable}},
    {"T=0 card at the default factors", "3B 15 11 80 65 A2 01 00", kMaxRate, 1,
     {.historicalLength = 5, .supported = kT0, .selected = kT0, .negFi = 1, .negDi = 1, .dataRate = kDefaultRate,
      .cardMode = kSpecific}},
    {"dual-protocol card with TA1 96 and IFSC 254",
     "3B DB 96 00 80 B1 FE 45 1F 83 00 31 C0 64 C7 FC 10 00 01 90 00 74", kMaxRate, 1,
     {.historicalLength = 11, .fi = 9, .di = 6, .egt = 0, .supported = kBoth, .selected = kUntouched, .t0wi = 10,
      .ifsc = 254, .cwi = 5, .bwi = 4, .edc = 0, .negFi = 9, .negDi = 6, .dataRate = 250000, .cardMode = kNegotiable}},
    {"dual-protocol card with TA1 18", "3B D6 18 00 80 31 FE 45 4A 43 4F 50 34 31 D7", kMaxRate, 1,
     {.historicalLength = 6, .historical = Hex("4A 43 4F 50 34 31"), .fi = 1, .di = 8, .supported = kBoth,
      .t0wi = 10, .ifsc = 254, .cwi = 5, .bwi = 4, .negFi = 1, .negDi = 8, .dataRate = 129032, .cardMode = kNegotiable}},
};
// clang-format on

class AtrParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(AtrParse, DerivesTheRecord)
{
    const ParseCase &c = GetParam();
    Bytes atr = Hex(c.atr);
    SlotInfo slot = MakeSlot(atr, c.maxRate, c.negotiation);
    const SlotInfo before = slot;
    ASSERT_EQ(Parse(&slot), 0UL) << AtrText(atr);
    CheckExpectations(slot, c.expect);

    // Never touched by a parse: the ATR, the request flag, the slot's limits.
    EXPECT_EQ(0, memcmp(slot.Card.Atr, before.Card.Atr, sizeof(slot.Card.Atr)));
    EXPECT_EQ(slot.Card.AtrLength, before.Card.AtrLength);
    EXPECT_EQ(slot.Card.NegotiationFlag, before.Card.NegotiationFlag);
    EXPECT_EQ(slot.Card.Clock, kDefaultClock);
    EXPECT_EQ(slot.Reader.MaxDataRate, c.maxRate);
    EXPECT_EQ(slot.Reader.Protocols, before.Reader.Protocols);
}

INSTANTIATE_TEST_SUITE_P(Atrs, AtrParse, ::testing::ValuesIn(kParseCases),
                         [](const ::testing::TestParamInfo<ParseCase> &test) {
                             std::string name = test.param.what;
                             for (char &ch : name)
                                 if (!isalnum(static_cast<unsigned char>(ch)))
                                     ch = '_';
                             return name;
                         });

// ---------------------------------------------------------------------------
// Failed parses: the whole record is compared with what the failure may
// write, everything else must still hold the sentinel.

enum class Written {
    Nothing,   // rejected before anything is derived
    Structure, // InverseConvention, SupportedProtocols 0, HistoricalLength
    Globals,   // and the historical bytes, Fi/Di indexes, extra guard time
};

struct FailureCase {
    const char *what;
    const char *atr;
    KYT_ULONG status;
    Written written;
};

void PrintTo(const FailureCase &c, std::ostream *os)
{
    *os << c.atr;
}

const FailureCase kFailureCases[] = {
    {"empty", "", EMEDIUMTYPE, Written::Nothing},
    {"TS alone", "3B", EMEDIUMTYPE, Written::Nothing},
    {"bad TS", "3C 00", EMEDIUMTYPE, Written::Nothing},
    {"TS of the other convention read directly", "03 00", EMEDIUMTYPE, Written::Nothing},
    {"one byte too many", "3B 02 14 50 77", EMEDIUMTYPE, Written::Structure},
    {"wrong TCK", "3B 80 81 31 FE 45 00", EMEDIUMTYPE, Written::Structure},
    {"TCK missing", "3B 80 81 31 FE 45", EMEDIUMTYPE, Written::Structure},
    {"TCK after a T=0 only ATR", "3B 80 00 80", EMEDIUMTYPE, Written::Structure},
    {"TCK after an ATR without TD", "3B 00 00", EMEDIUMTYPE, Written::Structure},
    {"TA1 announced but missing", "3B 10", EMEDIUMTYPE, Written::Structure},
    {"TD1 announced but missing", "3F 80", EMEDIUMTYPE, Written::Structure},
    {"group 1 cut short", "3B F0 11 00", EMEDIUMTYPE, Written::Structure},
    {"historical bytes missing", "3B 05 01 02", EMEDIUMTYPE, Written::Structure},
    {"the check byte alone cannot stand in for a historical byte", "3B 81 01 80", EMEDIUMTYPE, Written::Structure},
    {"TD4 announces more, T=0 only", "3B 80 80 80 80 10 00", EMEDIUMTYPE, Written::Structure},
    {"TD4 announces more, with TCK", "3B 80 81 80 80 11 22 32", EMEDIUMTYPE, Written::Structure},
    {"TD2 names T=15, TD4 announces a fifth TD", "3B 80 80 8F 80 80 00 8F", EMEDIUMTYPE, Written::Structure},
    {"reserved Di index 0", "3B 10 10", KYT_ERR_UNSUPPORTED_CARD, Written::Globals},
    {"reserved Fi index 7", "3B 52 71 EE 01 02", KYT_ERR_UNSUPPORTED_CARD, Written::Globals},
    {"reserved Fi index 15 with Di 10", "3F 11 FA 99", KYT_ERR_UNSUPPORTED_CARD, Written::Globals},
};

class AtrFailure : public ::testing::TestWithParam<FailureCase> {};

// What the failure is allowed to have written, worked out from the ATR's
// first bytes (these ATRs carry no TCK when they reach Written::Globals).
SlotInfo ExpectedAfterFailure(const SlotInfo &before, const Bytes &atr, Written written)
{
    SlotInfo want = before;
    if (written == Written::Nothing)
        return want;
    uint8_t k = atr[1] & 0x0F;
    want.Card.InverseConvention = atr[0] == 0x3F ? 1 : 0;
    want.Card.SupportedProtocols = 0;
    want.Card.HistoricalLength = k;
    if (written == Written::Structure)
        return want;
    memcpy(want.Card.HistoricalBytes, atr.data() + atr.size() - k, k);
    uint8_t ta1 = (atr[1] & 0x10) ? atr[2] : 0x11;
    want.Card.FiIndex = static_cast<uint8_t>(ta1 >> 4);
    want.Card.DiIndex = static_cast<uint8_t>(ta1 & 0x0F);
    unsigned tc1Offset = 2 + ((atr[1] & 0x10) ? 1 : 0) + ((atr[1] & 0x20) ? 1 : 0);
    want.Card.ExtraGuardTime = (atr[1] & 0x40) ? atr[tc1Offset] : 0;
    return want;
}

TEST_P(AtrFailure, WritesOnlyWhatTheFailureAllows)
{
    const FailureCase &c = GetParam();
    Bytes atr = Hex(c.atr);
    for (uint8_t negotiation : {uint8_t{0}, uint8_t{1}}) {
        SCOPED_TRACE(testing::Message() << AtrText(atr) << "negotiation " << int(negotiation));
        SlotInfo slot = MakeSlot(atr, kMaxRate, negotiation);
        const SlotInfo before = slot;
        EXPECT_EQ(Parse(&slot), c.status);
        ExpectSameRecord(slot, ExpectedAfterFailure(before, atr, c.written));
    }
}

INSTANTIATE_TEST_SUITE_P(Atrs, AtrFailure, ::testing::ValuesIn(kFailureCases),
                         [](const ::testing::TestParamInfo<FailureCase> &test) {
                             std::string name = test.param.what;
                             for (char &ch : name)
                                 if (!isalnum(static_cast<unsigned char>(ch)))
                                     ch = '_';
                             return name;
                         });

// Four consecutive T=1 indications would put the parameters in a fifth
// group.  By then the card mode, speed and T=0 part are already derived.
TEST(AtrT1BeyondGroup4, FailsAfterTheCardModeIsWritten)
{
    for (const char *text : {"3B 80 81 81 81 01 00", "3B 80 80 81 81 01 01"}) {
        Bytes atr = Hex(text);
        SCOPED_TRACE(text);
        SlotInfo slot = MakeSlot(atr);
        SlotInfo want = slot;
        EXPECT_EQ(Parse(&slot), static_cast<KYT_ULONG>(EMEDIUMTYPE));

        bool t0First = atr[2] == 0x80;
        want.Reader.CardMode = t0First ? CARD_MODE_NEGOTIABLE : CARD_MODE_SPECIFIC;
        want.Card.InverseConvention = 0;
        want.Card.HistoricalLength = 0;
        want.Card.FiIndex = 1;
        want.Card.DiIndex = 1;
        want.Card.ExtraGuardTime = 0;
        want.Card.Clock = kDefaultClock;
        want.Card.NegFiIndex = 1;
        want.Card.NegDiIndex = 1;
        want.Card.DataRate = kDefaultRate;
        // T=0 (TD1 naming it) is recorded before the T=1 search fails.
        want.Card.SupportedProtocols = t0First ? KYT_PROTOCOL_T0 : 0;
        if (t0First)
            want.Card.T0WaitingInteger = 10;
        ExpectSameRecord(slot, want);
    }
}

// Each reserved index of the two factor tables is refused, each other one
// accepted, whatever the negotiation flag.
TEST(AtrFactorTables, ReservedIndexesAreRefused)
{
    const bool fiReserved[16] = {false, false, false, false, false, false, false, true,
                                 true,  false, false, false, false, false, true,  true};
    const bool diReserved[16] = {true,  false, false, false, false, false, false, false,
                                 false, false, true,  true,  true,  true,  true,  true};
    for (unsigned fi = 0; fi < 16; ++fi) {
        for (unsigned di = 0; di < 16; ++di) {
            for (uint8_t negotiation : {uint8_t{0}, uint8_t{1}}) {
                SlotInfo slot = MakeSlot({0x3B, 0x10, static_cast<uint8_t>(fi << 4 | di)}, kMaxRate, negotiation);
                KYT_ULONG want = fiReserved[fi] || diReserved[di] ? KYT_ERR_UNSUPPORTED_CARD : 0;
                EXPECT_EQ(Parse(&slot), want) << "TA1 " << std::hex << (fi << 4 | di);
            }
        }
    }
}

// On every accepted TA1 the chosen pair obeys the slot's limit, or is the
// default pair at the default rate, and never exceeds the card's own offer.
TEST(AtrSpeedChoice, ChosenPairRespectsTheLimitForEveryTa1)
{
    const uint32_t fiTable[16] = {372, 372, 558, 744, 1116, 1488, 1860, 0, 0, 512, 768, 1024, 1536, 2048, 0, 0};
    const uint32_t diTable[16] = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};
    for (KYT_ULONG limit : {9600UL, 20000UL, 125000UL, 344100UL, 1000000UL}) {
        for (unsigned ta1 = 0; ta1 < 256; ++ta1) {
            SlotInfo slot = MakeSlot({0x3B, 0x10, static_cast<uint8_t>(ta1)}, limit);
            if (Parse(&slot) != 0)
                continue;
            const CardCapabilities &c = slot.Card;
            SCOPED_TRACE(testing::Message() << "TA1 " << std::hex << ta1 << std::dec << " limit " << limit);
            if (c.NegFiIndex == 1 && c.NegDiIndex == 1) {
                EXPECT_EQ(c.DataRate, kDefaultRate);
                continue;
            }
            ASSERT_LT(c.NegFiIndex, 16);
            ASSERT_LT(c.NegDiIndex, 16);
            EXPECT_LE(c.NegFiIndex, c.FiIndex);
            EXPECT_LE(c.NegDiIndex, c.DiIndex);
            EXPECT_GE(c.NegDiIndex, 2);
            ASSERT_NE(fiTable[c.NegFiIndex], 0u);
            EXPECT_EQ(c.DataRate, kDefaultClock * diTable[c.NegDiIndex] * 1000 / fiTable[c.NegFiIndex]);
            EXPECT_LE(c.DataRate, limit);
        }
    }
}

// A second parse of another card rewrites what the new ATR carries and keeps
// what it does not: the T=1 fields after a T=0-only card, SelectedProtocol
// after a negotiable one.
TEST(AtrReparse, KeepsFieldsTheNewAtrDoesNotCarry)
{
    SlotInfo slot = MakeSlot(Hex("3B 80 81 31 FE 45 8B"));
    ASSERT_EQ(Parse(&slot), 0UL);
    ASSERT_EQ(slot.Card.SelectedProtocol, KYT_PROTOCOL_T1);

    Bytes next = Hex("3B 16 96 00 11 22 33 44 55");
    memcpy(slot.Card.Atr, next.data(), next.size());
    slot.Card.AtrLength = static_cast<uint8_t>(next.size());
    ASSERT_EQ(Parse(&slot), 0UL);
    EXPECT_EQ(slot.Card.SupportedProtocols, KYT_PROTOCOL_T0);
    EXPECT_EQ(slot.Card.SelectedProtocol, KYT_PROTOCOL_T1);
    EXPECT_EQ(slot.Card.T1Ifsc, 254);
    EXPECT_EQ(slot.Card.T1Cwi, 5);
    EXPECT_EQ(slot.Card.T1Bwi, 4);
    EXPECT_EQ(slot.Reader.CardMode, CARD_MODE_NEGOTIABLE);
}

// ---------------------------------------------------------------------------
// Robustness.  The ATR comes from the card; no content may make the parser
// read outside it.  Each ATR is parsed twice with different garbage after
// its end (in the Atr buffer and in the record that follows it): any read
// past AtrLength would make the two results differ.

void FillTail(SlotInfo *slot, uint8_t pattern)
{
    for (unsigned i = slot->Card.AtrLength; i < ATR_MAX_LENGTH; ++i)
        slot->Card.Atr[i] = pattern;
    memset(slot->Card.HistoricalBytes, pattern, sizeof(slot->Card.HistoricalBytes));
}

struct Outcome {
    KYT_ULONG status;
    SlotInfo slot;
};

Outcome ParseWithTail(const Bytes &atr, uint8_t pattern, KYT_ULONG limit)
{
    SlotInfo slot = MakeSlot(atr, limit);
    FillTail(&slot, pattern);
    KYT_ULONG status = Parse(&slot);
    return {status, slot};
}

void CheckRobustParse(const Bytes &atr, KYT_ULONG limit)
{
    SCOPED_TRACE(AtrText(atr));
    Outcome a = ParseWithTail(atr, 0x00, limit);
    Outcome b = ParseWithTail(atr, 0xFF, limit);
    ASSERT_EQ(a.status, b.status);
    ASSERT_TRUE(a.status == 0 || a.status == EMEDIUMTYPE || a.status == KYT_ERR_UNSUPPORTED_CARD) << a.status;

    // Historical bytes: the first K are copied from the ATR or not written at
    // all; those beyond K are never written.
    unsigned k = atr.size() >= 2 ? atr[1] & 0x0F : 0;
    for (unsigned i = 0; i < HISTORICAL_MAX_LENGTH; ++i) {
        uint8_t ga = a.slot.Card.HistoricalBytes[i], gb = b.slot.Card.HistoricalBytes[i];
        if (i >= k || a.status == EMEDIUMTYPE)
            EXPECT_TRUE((ga == 0x00 && gb == 0xFF) || (i < k && ga == gb)) << "historical byte " << i;
        else
            EXPECT_EQ(ga, gb) << "historical byte " << i;
    }
    // Everything else must be the same whatever followed the ATR.
    memcpy(b.slot.Card.HistoricalBytes, a.slot.Card.HistoricalBytes, HISTORICAL_MAX_LENGTH);
    memcpy(b.slot.Card.Atr, a.slot.Card.Atr, ATR_MAX_LENGTH);
    ExpectSameRecord(b.slot, a.slot);

    if (a.status == 0) {
        const CardCapabilities &c = a.slot.Card;
        EXPECT_EQ(c.HistoricalLength, k);
        EXPECT_EQ(c.SupportedProtocols & ~(KYT_PROTOCOL_T0 | KYT_PROTOCOL_T1), 0UL);
        EXPECT_TRUE(a.slot.Reader.CardMode == CARD_MODE_NEGOTIABLE || a.slot.Reader.CardMode == CARD_MODE_SPECIFIC);
        EXPECT_TRUE(c.DataRate <= limit || (c.NegFiIndex == 1 && c.NegDiIndex == 1 && c.DataRate == kDefaultRate));
    }
}

struct BuiltAtr {
    Bytes atr;
    uint8_t ta1;
    Bytes historical;
    bool accepted; // whether the parser must accept it
};

// Builds a well-formed ATR from random choices.
BuiltAtr RandomWellFormedAtr(std::mt19937 &rng)
{
    auto byte = [&rng]() { return static_cast<uint8_t>(rng()); };
    Bytes atr = {rng() % 2 ? uint8_t(0x3B) : uint8_t(0x3F)};
    uint8_t k = rng() % 16;
    uint8_t y = byte() & 0xF0;
    atr.push_back(static_cast<uint8_t>(y | k));
    uint32_t offered = 0;
    uint8_t ta1 = 0x11;
    int tdProtocols[5] = {-1, -1, -1, -1, -1};
    for (int group = 1; group <= 4; ++group) {
        bool last = group == 4;
        if (y & 0x10) {
            uint8_t ta = byte();
            if (group == 1)
                ta1 = ta;
            atr.push_back(ta);
        }
        if (y & 0x20)
            atr.push_back(byte());
        if (y & 0x40)
            atr.push_back(byte());
        if ((y & 0x80) == 0)
            break;
        // Mostly T=0, T=1 and T=15, sometimes anything.
        static const uint8_t common[] = {0, 1, 15};
        uint8_t t = rng() % 4 ? common[rng() % 3] : rng() % 16;
        uint8_t next = last ? 0 : byte() & 0xF0;
        atr.push_back(static_cast<uint8_t>(next | t));
        offered |= 1u << t;
        tdProtocols[group] = t;
        y = next;
    }
    Bytes historical;
    for (uint8_t i = 0; i < k; ++i)
        historical.push_back(byte());
    atr.insert(atr.end(), historical.begin(), historical.end());
    if (offered & ~1u) {
        uint8_t tck = 0;
        for (size_t i = 1; i < atr.size(); ++i)
            tck ^= atr[i];
        atr.push_back(tck);
    }

    static const bool fiOk[16] = {1, 1, 1, 1, 1, 1, 1, 0, 0, 1, 1, 1, 1, 1, 0, 0};
    static const bool diOk[16] = {0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0};
    bool t1BeyondGroup4 = false;
    for (int first = 1; first <= 4; ++first) {
        if (tdProtocols[first] == 1) {
            t1BeyondGroup4 = true;
            for (int g = first + 1; g <= 4; ++g)
                if (tdProtocols[g] != 1)
                    t1BeyondGroup4 = false;
            break;
        }
    }
    bool accepted = fiOk[ta1 >> 4] && diOk[ta1 & 0x0F] && !t1BeyondGroup4;
    return {atr, ta1, historical, accepted};
}

TEST(AtrRobustness, RandomBytesOfEveryLength)
{
    std::mt19937 rng(20240611);
    for (int round = 0; round < 20000; ++round) {
        size_t length = rng() % (ATR_MAX_LENGTH + 1);
        Bytes atr(length);
        for (uint8_t &b : atr)
            b = static_cast<uint8_t>(rng());
        if (length > 0 && rng() % 4 != 0)
            atr[0] = rng() % 2 ? 0x3B : 0x3F;
        CheckRobustParse(atr, rng() % 2 ? kMaxRate : 125000);
        if (HasFatalFailure())
            return;
    }
}

TEST(AtrRobustness, WellFormedAtrsAndTheirMutations)
{
    std::mt19937 rng(7816);
    int acceptedCount = 0;
    for (int round = 0; round < 20000; ++round) {
        BuiltAtr built = RandomWellFormedAtr(rng);
        const Bytes &atr = built.atr;
        ASSERT_LE(atr.size(), 34u);
        SlotInfo slot = MakeSlot(atr);
        KYT_ULONG status = Parse(&slot);
        if (built.accepted) {
            ++acceptedCount;
            EXPECT_EQ(status, 0UL) << AtrText(atr);
            EXPECT_EQ(slot.Card.HistoricalLength, built.historical.size());
            EXPECT_EQ(Bytes(slot.Card.HistoricalBytes, slot.Card.HistoricalBytes + built.historical.size()),
                      built.historical);
            EXPECT_EQ(slot.Card.FiIndex, built.ta1 >> 4);
            EXPECT_EQ(slot.Card.DiIndex, built.ta1 & 0x0F);
        } else {
            EXPECT_NE(status, 0UL) << AtrText(atr);
        }
        CheckRobustParse(atr, kMaxRate);

        // One byte dropped, one byte added, or one byte flipped.
        Bytes mutated = atr;
        switch (rng() % 3) {
        case 0:
            mutated.erase(mutated.begin() + 1 + rng() % (mutated.size() - 1));
            break;
        case 1:
            mutated.push_back(static_cast<uint8_t>(rng()));
            break;
        default:
            mutated[1 + rng() % (mutated.size() - 1)] ^= static_cast<uint8_t>(1u << (rng() % 8));
            break;
        }
        CheckRobustParse(mutated, kMaxRate);
        if (HasFatalFailure())
            return;
    }
    EXPECT_GT(acceptedCount, 1000);
}

// A stored length beyond the Atr buffer is refused before any byte is read.
TEST(AtrRobustness, LengthBeyondTheBufferIsRefused)
{
    for (unsigned length : {65u, 100u, 255u}) {
        SlotInfo slot = MakeSlot(Hex("3B 00"));
        slot.Card.AtrLength = static_cast<uint8_t>(length);
        const SlotInfo before = slot;
        EXPECT_EQ(Parse(&slot), static_cast<KYT_ULONG>(EMEDIUMTYPE)) << length;
        ExpectSameRecord(slot, before);
    }
}

} // namespace
