// Per-slot record: what the reader's slot can do, and what is known about the
// card last powered on in it.
#ifndef KYT_READER_SLOT_INFO_H
#define KYT_READER_SLOT_INFO_H

#include <cstdint>

#include "kyt.h"

// Card modes.
constexpr KYT_ULONG CARD_MODE_NEGOTIABLE = 4; // the card offers a choice: negotiate before use
constexpr KYT_ULONG CARD_MODE_SPECIFIC = 5;   // the card works in one protocol and speed already

constexpr unsigned ATR_MAX_LENGTH = 64;
constexpr unsigned HISTORICAL_MAX_LENGTH = 16;

// Filled once per slot when the reader model is known.
struct ReaderCapabilities {
    KYT_ULONG Protocols;       // protocol mask the slot supports
    KYT_ULONG CardMode;        // 0 before any parse, else CARD_MODE_*
    KYT_ULONG DefaultClock;    // kHz
    KYT_ULONG MaxClock;        // kHz
    KYT_ULONG DefaultDataRate; // bit/s at Fi/Di 1/1
    KYT_ULONG MaxDataRate;     // bit/s
    KYT_ULONG MaxIfsd;         // bytes
};

// The card's answer-to-reset and what the ATR parser derives from it.
struct CardCapabilities {
    int32_t InverseConvention;
    uint8_t Atr[ATR_MAX_LENGTH];
    uint8_t AtrLength; // 0: no powered card
    uint8_t HistoricalBytes[HISTORICAL_MAX_LENGTH];
    uint8_t HistoricalLength;
    uint8_t FiIndex;
    uint8_t DiIndex;
    uint8_t ExtraGuardTime;
    KYT_ULONG SupportedProtocols;
    KYT_ULONG SelectedProtocol;
    uint8_t T0WaitingInteger;
    uint8_t T1Ifsc;
    uint8_t T1Cwi;
    uint8_t T1Bwi;
    uint8_t T1Edc;
    uint8_t NegotiationFlag;
    uint8_t NegFiIndex;
    uint8_t NegDiIndex;
    KYT_ULONG Clock;    // kHz
    KYT_ULONG DataRate; // bit/s
};

struct SlotInfo {
    ReaderCapabilities Reader;
    CardCapabilities Card;
};

// Parses Card->Atr into the rest of the card record and chooses the Fi/Di pair
// against the slot's limits.  Returns 0, EMEDIUMTYPE (malformed ATR) or
// KYT_ERR_UNSUPPORTED_CARD (reserved Fi or Di index).
KYT_ULONG UpdateCardCapabilities(ReaderCapabilities *reader, CardCapabilities *card);

#endif
