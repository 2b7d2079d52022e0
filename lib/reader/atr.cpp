// The answer-to-reset parser: what the card offers, and which transmission
// factors this slot can use with it.
//
// The ATR is laid out as ISO/IEC 7816-3 describes it: TS, T0, up to four
// groups of interface bytes TAi TBi TCi TDi, K historical bytes and, when the
// card offers anything other than T=0, the check byte TCK.  The ATR comes from
// the card through the reader and is not trusted: every byte is read only
// when it lies inside both AtrLength and the Atr buffer.
#include <cerrno>
#include <cstring>

#include "slot_info.h"

namespace {

// TS, the initial character.
constexpr uint8_t TS_DIRECT_CONVENTION = 0x3B;
constexpr uint8_t TS_INVERSE_CONVENTION = 0x3F;

// Offsets of the fixed part.
constexpr unsigned ATR_OFFSET_TS = 0;
constexpr unsigned ATR_OFFSET_T0 = 1;
constexpr unsigned ATR_OFFSET_INTERFACE = 2;
constexpr unsigned ATR_MIN_LENGTH = 2;

// The high nibble of T0 and of every TDi announces the next group's bytes;
// the low nibble of T0 is K, the low nibble of TDi a protocol number T.
constexpr uint8_t Y_TA_PRESENT = 0x10;
constexpr uint8_t Y_TB_PRESENT = 0x20;
constexpr uint8_t Y_TC_PRESENT = 0x40;
constexpr uint8_t Y_TD_PRESENT = 0x80;
constexpr uint8_t Y_MASK = 0xF0;
constexpr uint8_t LOW_NIBBLE = 0x0F;
constexpr unsigned NIBBLE_SHIFT = 4;

// Groups 1 to 4 are read; group 5 is where T=1 parameters would land after
// four consecutive T=1 indications, which no ATR can carry.
constexpr unsigned MAX_GROUPS = 4;
constexpr unsigned GROUP_BEYOND_LAST = MAX_GROUPS + 1;

// Values an absent interface byte stands for.
constexpr uint8_t TA1_DEFAULT = 0x11; // Fi/Di index 1/1: 372 and 1
constexpr uint8_t TC2_DEFAULT = 10;   // work waiting integer WI

// Protocol numbers named by TDi.
constexpr unsigned PROTOCOL_T0 = 0;
constexpr unsigned PROTOCOL_T1 = 1;

// T=1 defaults, ISO/IEC 7816-3 clause 11.4.
constexpr uint8_t T1_IFSC_DEFAULT = 32;
constexpr uint8_t T1_CWI_DEFAULT = 13;
constexpr uint8_t T1_BWI_DEFAULT = 4;
constexpr uint8_t T1_EDC_CRC = 0x01; // bit 0 of TC: 0 LRC, 1 CRC

// The default factors: Fi index 1 (372) with Di index 1 (1).
constexpr uint8_t DEFAULT_FACTOR_INDEX = 1;

constexpr unsigned KHZ_TO_HZ = 1000;

// Clock rate conversion factor Fi by Fi index; reserved indexes are 0.
constexpr uint32_t FI[16] = {372, 372, 558, 744, 1116, 1488, 1860, 0, 0, 512, 768, 1024, 1536, 2048, 0, 0};
// Baud rate adjustment factor Di by Di index; reserved indexes are 0.
constexpr uint32_t DI[16] = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};

// The interface bytes of one ATR, groups indexed 1 to 4 (0 unused).
struct InterfaceBytes {
    uint8_t ta[MAX_GROUPS + 1];
    uint8_t tb[MAX_GROUPS + 1];
    uint8_t tc[MAX_GROUPS + 1];
    uint8_t td[MAX_GROUPS + 1];
    bool tdPresent[MAX_GROUPS + 1];
    uint8_t protocol[MAX_GROUPS + 1]; // P(i): T named by TDi, 0 when TDi is absent
    uint32_t offered;                 // bit T for every T some TDi names, T=15 included
    unsigned distinctProtocols;
    bool specificMode; // TA2 present
    unsigned next;     // offset of the next unread byte
    int remaining;     // R: bytes after TS and T0 not yet accounted for
};

uint8_t HighNibble(uint8_t value)
{
    return static_cast<uint8_t>(value >> NIBBLE_SHIFT);
}

uint8_t LowNibble(uint8_t value)
{
    return static_cast<uint8_t>(value & LOW_NIBBLE);
}

// Exclusive-or of T0 up to the last-but-one byte; equals TCK when one is due.
uint8_t AtrCheckValue(const uint8_t *atr, unsigned length)
{
    uint8_t check = 0;
    for (unsigned i = ATR_OFFSET_T0; i + 1 < length; ++i)
        check ^= atr[i];
    return check;
}

void InitInterfaceBytes(InterfaceBytes *bytes, unsigned length)
{
    memset(bytes, 0, sizeof(*bytes));
    bytes->ta[1] = TA1_DEFAULT;
    bytes->tc[2] = TC2_DEFAULT;
    bytes->next = ATR_OFFSET_INTERFACE;
    bytes->remaining = static_cast<int>(length) - static_cast<int>(ATR_MIN_LENGTH);
}

// Takes the next interface byte.  A byte that the announcement promises but
// the ATR does not hold reads as 0 and still counts against R, so the length
// check rejects the ATR without the walk ever reading past its end.
uint8_t NextInterfaceByte(const uint8_t *atr, unsigned length, InterfaceBytes *bytes)
{
    uint8_t value = 0;
    if (bytes->next < length)
        value = atr[bytes->next];
    ++bytes->next;
    --bytes->remaining;
    return value;
}

void NoteProtocol(InterfaceBytes *bytes, unsigned group)
{
    uint8_t protocol = LowNibble(bytes->td[group]);
    bytes->protocol[group] = protocol;
    if ((bytes->offered & (1u << protocol)) == 0)
        ++bytes->distinctProtocols;
    bytes->offered |= 1u << protocol;
}

// Reads the groups T0 and the TDi announce.  After group 4 the walk stops
// even when TD4 announces more; those bytes stay in R and fail the length
// check.
void WalkInterfaceBytes(const uint8_t *atr, unsigned length, InterfaceBytes *bytes)
{
    uint8_t y = atr[ATR_OFFSET_T0] & Y_MASK;
    for (unsigned group = 1; group <= MAX_GROUPS; ++group) {
        if (y & Y_TA_PRESENT) {
            bytes->ta[group] = NextInterfaceByte(atr, length, bytes);
            if (group == 2)
                bytes->specificMode = true;
        }
        if (y & Y_TB_PRESENT)
            bytes->tb[group] = NextInterfaceByte(atr, length, bytes);
        if (y & Y_TC_PRESENT)
            bytes->tc[group] = NextInterfaceByte(atr, length, bytes);
        if ((y & Y_TD_PRESENT) == 0)
            return;
        bytes->td[group] = NextInterfaceByte(atr, length, bytes);
        bytes->tdPresent[group] = true;
        NoteProtocol(bytes, group);
        y = bytes->td[group] & Y_MASK;
    }
}

// A card that offers only T=0 sends no TCK; any other indication, T=15
// included, obliges it to end the ATR with one.  Afterwards exactly the K
// historical bytes must be left.
bool CheckLengthAndTck(const uint8_t *atr, unsigned length, uint8_t checkValue, unsigned historicalLength,
                       InterfaceBytes *bytes)
{
    if ((bytes->offered & ~(1u << PROTOCOL_T0)) != 0) {
        --bytes->remaining;
        if (atr[length - 1] != checkValue)
            return false;
    }
    return bytes->remaining == static_cast<int>(historicalLength);
}

KYT_ULONG DataRateFor(const ReaderCapabilities *reader, unsigned fi, unsigned di)
{
    // 64-bit so that no clock value can wrap the product.
    uint64_t rate = static_cast<uint64_t>(reader->DefaultClock) * DI[di] * KHZ_TO_HZ / FI[fi];
    return static_cast<KYT_ULONG>(rate);
}

// The fastest Di index at or below the card's own for this Fi index whose
// rate the slot accepts, walking by index; 0 when none fits.
unsigned FittingDiIndex(const ReaderCapabilities *reader, unsigned fi, unsigned cardDi, KYT_ULONG *rate)
{
    for (unsigned di = cardDi; di > DEFAULT_FACTOR_INDEX; --di) {
        if (FI[fi] == 0 || DI[di] == 0)
            continue;
        KYT_ULONG candidate = DataRateFor(reader, fi, di);
        if (candidate <= reader->MaxDataRate) {
            *rate = candidate;
            return di;
        }
    }
    return 0;
}

void UseDefaultFactors(const ReaderCapabilities *reader, CardCapabilities *card)
{
    card->NegFiIndex = DEFAULT_FACTOR_INDEX;
    card->NegDiIndex = DEFAULT_FACTOR_INDEX;
    card->DataRate = reader->DefaultDataRate;
}

// Walks Fi downward from the card's index and, for each, Di downward from the
// card's index, and takes the first pair the slot accepts.  The walk ends at
// Fi index 1 with the default factors; a card whose Fi index is 0 (also 372)
// gets its one row tried and then ends the same way.
void ChooseSpeed(const ReaderCapabilities *reader, CardCapabilities *card)
{
    if (card->NegotiationFlag == 0) {
        UseDefaultFactors(reader, card);
        return;
    }
    for (unsigned fi = card->FiIndex;; --fi) {
        KYT_ULONG rate = 0;
        unsigned di = FittingDiIndex(reader, fi, card->DiIndex, &rate);
        if (di != 0) {
            card->NegFiIndex = static_cast<uint8_t>(fi);
            card->NegDiIndex = static_cast<uint8_t>(di);
            card->DataRate = rate;
            return;
        }
        if (fi <= DEFAULT_FACTOR_INDEX) {
            UseDefaultFactors(reader, card);
            return;
        }
    }
}

// A card that announces its mode in TA2 is in the specific mode; one that
// names several protocols (T=15 beside T=1 counts) must be negotiated; one
// protocol or none is specific only at the default factors.
KYT_ULONG CardModeFor(const InterfaceBytes *bytes, const CardCapabilities *card)
{
    if (bytes->specificMode)
        return CARD_MODE_SPECIFIC;
    if (bytes->distinctProtocols > 1)
        return CARD_MODE_NEGOTIABLE;
    if (card->FiIndex == DEFAULT_FACTOR_INDEX && card->DiIndex == DEFAULT_FACTOR_INDEX)
        return CARD_MODE_SPECIFIC;
    return CARD_MODE_NEGOTIABLE;
}

// The T=1 parameters sit in the group after the last of the consecutive TDi
// that name T=1, starting from the first such TDi.  Returns that group, or
// GROUP_BEYOND_LAST when every TD from there to TD4 names T=1.
unsigned T1ParameterGroup(const InterfaceBytes *bytes)
{
    unsigned first = 1;
    while (first <= MAX_GROUPS && !(bytes->tdPresent[first] && bytes->protocol[first] == PROTOCOL_T1))
        ++first;
    unsigned group = first + 1;
    while (group <= MAX_GROUPS && bytes->tdPresent[group] && bytes->protocol[group] == PROTOCOL_T1)
        ++group;
    return group;
}

void TakeT1Parameters(const InterfaceBytes *bytes, unsigned group, CardCapabilities *card)
{
    uint8_t ifsc = bytes->ta[group];
    uint8_t cwi = LowNibble(bytes->tb[group]);
    uint8_t bwi = HighNibble(bytes->tb[group]);
    card->T1Ifsc = ifsc != 0 ? ifsc : T1_IFSC_DEFAULT;
    card->T1Cwi = cwi != 0 ? cwi : T1_CWI_DEFAULT;
    card->T1Bwi = bwi != 0 ? bwi : T1_BWI_DEFAULT;
    card->T1Edc = bytes->tc[group] & T1_EDC_CRC;
}

// Reads TS, T0 and the interface bytes, checks the ATR's length and its
// TCK, and takes the convention and the historical bytes.  0 or EMEDIUMTYPE.
KYT_ULONG ReadAtrStructure(CardCapabilities *card, InterfaceBytes *bytes)
{
    const uint8_t *atr = card->Atr;
    unsigned length = card->AtrLength;
    // A length the buffer cannot hold is as malformed as one too short to
    // carry TS and T0.
    if (length < ATR_MIN_LENGTH || length > ATR_MAX_LENGTH)
        return EMEDIUMTYPE;
    if (atr[ATR_OFFSET_TS] != TS_DIRECT_CONVENTION && atr[ATR_OFFSET_TS] != TS_INVERSE_CONVENTION)
        return EMEDIUMTYPE;
    card->InverseConvention = atr[ATR_OFFSET_TS] == TS_INVERSE_CONVENTION ? 1 : 0;

    uint8_t checkValue = AtrCheckValue(atr, length);
    InitInterfaceBytes(bytes, length);
    uint8_t historicalLength = LowNibble(atr[ATR_OFFSET_T0]);
    card->SupportedProtocols = 0;
    card->HistoricalLength = historicalLength;

    WalkInterfaceBytes(atr, length, bytes);
    if (!CheckLengthAndTck(atr, length, checkValue, historicalLength, bytes))
        return EMEDIUMTYPE;

    // The length check guarantees that the K bytes lie inside the ATR.
    memcpy(card->HistoricalBytes, atr + bytes->next, historicalLength);
    return 0;
}

// The protocols the card offers and their parameters, and in the specific
// mode the one it works in.  0 or EMEDIUMTYPE.
KYT_ULONG TakeProtocols(const InterfaceBytes *bytes, KYT_ULONG cardMode, CardCapabilities *card)
{
    // T=0 counts only when the first TD names it or there is no TD at all.
    if (bytes->protocol[1] == PROTOCOL_T0) {
        card->SupportedProtocols |= KYT_PROTOCOL_T0;
        card->T0WaitingInteger = bytes->tc[2];
    }

    if (bytes->offered & (1u << PROTOCOL_T1)) {
        unsigned group = T1ParameterGroup(bytes);
        if (group >= GROUP_BEYOND_LAST)
            return EMEDIUMTYPE;
        card->SupportedProtocols |= KYT_PROTOCOL_T1;
        TakeT1Parameters(bytes, group, card);
    }

    if (cardMode == CARD_MODE_SPECIFIC) {
        if (bytes->specificMode)
            card->SelectedProtocol = static_cast<KYT_ULONG>(1) << LowNibble(bytes->ta[2]);
        else
            card->SelectedProtocol = card->SupportedProtocols;
    }
    return 0;
}

} // namespace

KYT_ULONG UpdateCardCapabilities(ReaderCapabilities *reader, CardCapabilities *card)
{
    InterfaceBytes bytes;
    KYT_ULONG status = ReadAtrStructure(card, &bytes);
    if (status != 0)
        return status;

    card->FiIndex = HighNibble(bytes.ta[1]);
    card->DiIndex = LowNibble(bytes.ta[1]);
    card->ExtraGuardTime = bytes.tc[1];
    if (FI[card->FiIndex] == 0 || DI[card->DiIndex] == 0)
        return KYT_ERR_UNSUPPORTED_CARD;

    card->Clock = reader->DefaultClock;
    ChooseSpeed(reader, card);
    reader->CardMode = CardModeFor(&bytes, card);
    return TakeProtocols(&bytes, reader->CardMode, card);
}
