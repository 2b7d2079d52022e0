// Cards by name.
#include "card_names.h"

#include "iso_card.h"
#include "parsing.h"
#include "protocol.h"
#include "rules_card.h"

namespace kytsim::program {

std::optional<Card> CardByName(const std::string &name, std::string *error)
{
    const std::string rules = "rules:";
    if (name.compare(0, rules.size(), rules) == 0)
        return RulesCard(name.substr(rules.size()), error);
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
