// The ATR parser on any answer-to-reset of up to 64 bytes and any slot
// limits.  Besides the sanitizers' checks, the results must stay inside the
// record's arrays and the documented status values.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <cstddef>
#include <cstdint>

#include "slot_info.h"

namespace {

KYT_ULONG Take(const uint8_t *&data, size_t &size, unsigned bytes)
{
    KYT_ULONG value = 0;
    for (unsigned i = 0; i < bytes && size > 0; i++, data++, size--)
        value = (value << 8) | *data;
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Slot limits first (a leading mode byte, then four bytes per field), the
    // ATR after them.
    ReaderCapabilities reader;
    KYT_ULONG mode = Take(data, size, 1);
    reader.Protocols = Take(data, size, 1);
    reader.CardMode = 0;
    reader.DefaultClock = Take(data, size, 4);
    reader.MaxClock = Take(data, size, 4);
    reader.DefaultDataRate = Take(data, size, 4);
    reader.MaxDataRate = Take(data, size, 4);
    reader.MaxIfsd = Take(data, size, 2);

    CardCapabilities card;
    memset(&card, 0, sizeof card);
    card.NegotiationFlag = mode & 1;
    size_t atrLength = size < ATR_MAX_LENGTH ? size : ATR_MAX_LENGTH;
    memcpy(card.Atr, data, atrLength);
    card.AtrLength = static_cast<uint8_t>(atrLength);

    KYT_ULONG status = UpdateCardCapabilities(&reader, &card);
    if (status != 0 && status != EMEDIUMTYPE && status != KYT_ERR_UNSUPPORTED_CARD)
        abort();
    if (card.HistoricalLength > HISTORICAL_MAX_LENGTH || card.AtrLength != atrLength)
        abort();
    if (status == 0) {
        if (reader.CardMode != CARD_MODE_NEGOTIABLE && reader.CardMode != CARD_MODE_SPECIFIC)
            abort();
        // A second parse of the same record must agree with the first.
        CardCapabilities again = card;
        ReaderCapabilities readerAgain = reader;
        if (UpdateCardCapabilities(&readerAgain, &again) != 0 || again.FiIndex != card.FiIndex ||
            again.DiIndex != card.DiIndex || again.SupportedProtocols != card.SupportedProtocols)
            abort();
    }
    return 0;
}
