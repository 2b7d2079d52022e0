// A slot's card presence, as pcscd's polls and the presence attributes ask
// for it.
#ifndef IFDKYT_PRESENCE_H
#define IFDKYT_PRESENCE_H

extern "C" {
#include <ifdhandler.h>
}

#include "readers.h"

namespace ifdkyt {

// IFD_SUCCESS for a card, IFD_ICC_NOT_PRESENT for none; *powered tells
// whether the reader said the card is powered.
RESPONSECODE SlotPresence(const SlotUse &use, bool *powered);

} // namespace ifdkyt

#endif
