// Cards by name.
#include "card_names.h"

#include "iso_card.h"
#include "parsing.h"
#include "protocol.h"

namespace kytsim::program {

std::optional<Card> CardByName(const std::string &name)
{
    if (name == "demo-t1")
        return DemoT1Card();
    if (name == "demo-t0")
        return DemoT0Card();
    std::optional<Bytes> atr = ParseHex(name);
    if (!atr || atr->size() > kMaxAtrSize)
        return std::nullopt;
    return IsoFileSystemCard(*atr, false, true);
}

} // namespace kytsim::program
