// Cards described by a rules file: an ATR, then pairs of a command pattern
// and the response to send (the format is drawn in rules_parse.cpp and in
// kyt_sim(1), section RULES FILES).  A rules card has no state but its
// file: the same command always gets the same answer, before and after a
// power cycle.
#ifndef KYT_SIM_RULES_CARD_H
#define KYT_SIM_RULES_CARD_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim_reader.h"

namespace kytsim {

// The largest rules file read, and the longest response a rule may give
// (65536 data bytes, as an extended Le 0000 asks for, and SW1 SW2).
constexpr size_t kMaxRulesFile = 16 * 1024 * 1024;
constexpr size_t kMaxRuleResponse = 65536 + 2;

class Rules {
public:
    const Bytes &Atr() const { return atr_; }
    size_t Count() const { return rules_.size(); }
    // The response of the first rule whose pattern matches the command;
    // 6D 00 when none does.
    Bytes Answer(const Bytes &command) const;

    // For the parser: the ATR, and one rule after the others.  `masks`
    // holds, for each byte of `values`, the bits the command must match
    // (0xF0 where the low nibble is a wildcard, and so on); `open`: any
    // further bytes may follow.
    void SetAtr(Bytes atr) { atr_ = std::move(atr); }
    void Add(const Bytes &values, const Bytes &masks, bool open, const Bytes &response);

private:
    // Patterns and responses are kept back to back in three arrays, so a
    // file of many short rules costs little more than its bytes.
    struct Rule {
        uint32_t pattern;
        uint32_t patternLength;
        uint32_t response;
        uint32_t responseLength;
        bool open;
    };
    bool Matches(const Rule &rule, const Bytes &command) const;

    Bytes atr_;
    Bytes values_;
    Bytes masks_;
    Bytes responses_;
    std::vector<Rule> rules_;
};

// The rules of a file's text, or nullopt with "NAME:LINE: reason" in *error.
std::optional<Rules> ParseRules(std::string_view text, const std::string &name, std::string *error);

// The rules of the file at `path` (a regular file of at most kMaxRulesFile
// bytes), or nullopt with the reason, naming the file, in *error.
std::optional<Rules> ReadRulesFile(const std::string &path, std::string *error);

// A card with the ATR of the rules file at `path` that answers by its
// rules; nullopt with the reason in *error when the file is not good.
std::optional<Card> RulesCard(const std::string &path, std::string *error);

// Bytes as a rules file writes them: two upper-case hex digits a byte,
// separated by single spaces.
std::string RulesHex(const Bytes &bytes);

} // namespace kytsim

#endif
