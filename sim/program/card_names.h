// Cards named on kyt_sim's command line (--card) and standard input (insert).
#ifndef KYT_SIM_CARD_NAMES_H
#define KYT_SIM_CARD_NAMES_H

#include <optional>
#include <string>

#include "sim_reader.h"

namespace kytsim::program {

// demo-t1, demo-t0, or an ATR in hex: a card with that ATR and the demo file
// system answering in T=1 style, extended-length APDUs included; or
// rules:FILE, the card a rules file describes (read now).  When a rules file
// is not good, *error (if given) says why, with the file and line.
std::optional<Card> CardByName(const std::string &name, std::string *error = nullptr);

} // namespace kytsim::program

#endif
