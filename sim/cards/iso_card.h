// A simulated smart card with a small ISO/IEC 7816-4 file system, for the
// simulated reader.
#ifndef KYT_SIM_ISO_CARD_H
#define KYT_SIM_ISO_CARD_H

#include "sim_reader.h"

namespace kytsim {

// The demo cards: a T=1 card with a realistic T=1 ATR, and a T=0 card.
Card DemoT1Card();
Card DemoT0Card();

// The file-system card's APDU handler.  t0 selects T=0 behaviour (responses
// with data are announced by 61 xx and fetched with GET RESPONSE);
// extendedLengths lets it take extended-length APDUs.
ApduHandler IsoCardHandler(bool t0, bool extendedLengths = false);

// A card with this ATR and the file system, which starts afresh (MF
// selected, no EF, nothing pending, no challenge) at every power-on.
Card IsoFileSystemCard(Bytes atr, bool t0, bool extendedLengths);

} // namespace kytsim

#endif
