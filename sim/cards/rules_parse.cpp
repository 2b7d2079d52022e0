// Reading the rules format, line by line:
//
//   ; a comment: the first character that is not blank is ';'
//   ATR 3B 02 14 50           the ATR: 2 to 254 bytes, exactly one ATR line
//   00 A4 04 00 08 A0 00 00 00 03 *
//   90 00                     a command pattern, then the response to send
//
// Blank lines and comments may stand anywhere, also between a pattern and
// its response.  Lines end in LF or CR LF; the last one needs no line end.
// Blanks are spaces and tabs.  Hex digits are of either case and stand two
// to a byte: the two digits of a byte are written together, and blanks may
// separate bytes (3F00 and 3F 00 are the same) but not the digits of one
// byte, so a group of an odd number of digits is an error.  "ATR" is
// followed by a blank or the end of the line, in any case.
//
// In a command pattern only, X or x stands for any nibble (0X matches 00 to
// 0F, XX any byte), and a '*' as its last character (after the bytes or as a
// word of its own) matches any further bytes, none included: "*" alone
// matches every command.  Patterns of up to the longest command the reader
// passes to a card (65536 bytes) are taken, responses of 2 (SW1 SW2) to
// kMaxRuleResponse bytes.
#include <cctype>
#include <cstdio>

#include "protocol.h"
#include "rules_card.h"

namespace kytsim {

namespace {

// What a line of bytes is: a command pattern takes wildcards, a response
// and an ATR do not.
enum class HexKind { Pattern, Response, Atr };

struct HexLine {
    Bytes values; // wildcard nibbles are 0
    Bytes masks;  // the bits a command must match
    bool open = false;
};

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view Trimmed(std::string_view line)
{
    while (!line.empty() && IsBlank(line.front()))
        line.remove_prefix(1);
    while (!line.empty() && IsBlank(line.back()))
        line.remove_suffix(1);
    return line;
}

std::optional<uint8_t> HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return static_cast<uint8_t>(c - '0');
    if (c >= 'A' && c <= 'F')
        return static_cast<uint8_t>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f')
        return static_cast<uint8_t>(c - 'a' + 10);
    return std::nullopt;
}

// A character as a message names it.
std::string Shown(char c)
{
    auto byte = static_cast<unsigned char>(c);
    if (std::isprint(byte))
        return std::string("character '") + c + "'";
    char text[16];
    std::snprintf(text, sizeof text, "byte 0x%02X", byte);
    return text;
}

// One nibble (a hex digit or a wildcard) onto the line's bytes.
void AddNibble(HexLine &line, bool high, uint8_t value, bool wildcard)
{
    uint8_t mask = wildcard ? 0x00 : 0x0F;
    if (high) {
        line.values.push_back(static_cast<uint8_t>(value << 4));
        line.masks.push_back(static_cast<uint8_t>(mask << 4));
    } else {
        line.values.back() = static_cast<uint8_t>(line.values.back() | value);
        line.masks.back() = static_cast<uint8_t>(line.masks.back() | mask);
    }
}

// The bytes of a trimmed line: "" when they are good, else why not.
std::string ReadHex(std::string_view text, HexKind kind, HexLine &line)
{
    if (kind == HexKind::Pattern && !text.empty() && text.back() == '*') {
        line.open = true;
        text.remove_suffix(1);
    }
    size_t groupStart = 0;
    for (size_t i = 0; i <= text.size(); i++) {
        if (i == text.size() || IsBlank(text[i])) {
            if ((i - groupStart) % 2 != 0)
                return "odd number of hex digits in \"" + std::string(text.substr(groupStart, i - groupStart)) + "\"";
            groupStart = i + 1;
            continue;
        }
        const char c = text[i];
        const bool wildcard = c == 'X' || c == 'x';
        if (c == '*' && kind == HexKind::Pattern)
            return "'*' stands only at the end of a command pattern";
        if ((wildcard || c == '*') && kind != HexKind::Pattern)
            return std::string("wildcard '") + c + "' outside a command pattern";
        std::optional<uint8_t> value = wildcard ? 0 : HexValue(c);
        if (!value)
            return "unexpected " + Shown(c);
        AddNibble(line, (i - groupStart) % 2 == 0, *value, wildcard);
    }
    return "";
}

// "ATR" (in any case) followed by a blank or the end of the line.
bool IsAtrLine(std::string_view line)
{
    if (line.size() < 3 || (line.size() > 3 && !IsBlank(line[3])))
        return false;
    return std::toupper(static_cast<unsigned char>(line[0])) == 'A' &&
           std::toupper(static_cast<unsigned char>(line[1])) == 'T' &&
           std::toupper(static_cast<unsigned char>(line[2])) == 'R';
}

std::string ByteCount(size_t count)
{
    return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}

// The rules taken in line by line; an error names the line it is about.
class RulesBuilder {
public:
    // One line, its line end removed: "" when it is good, else why not
    // (and ErrorLine() says which line that is about).
    std::string Take(size_t number, std::string_view line);
    // After the last line: "" when the file is complete.
    std::string Finish(size_t lastLine);
    size_t ErrorLine() const { return errorLine_; }
    Rules &Result() { return rules_; }

private:
    std::string TakeAtr(size_t number, std::string_view text);
    std::string TakeResponse(size_t number, std::string_view text);
    std::string Fail(size_t line, std::string why)
    {
        errorLine_ = line;
        return why;
    }

    Rules rules_;
    size_t atrLine_ = 0;
    size_t patternLine_ = 0; // a pattern waits for its response
    HexLine pattern_;
    size_t errorLine_ = 0;
};

std::string RulesBuilder::Take(size_t number, std::string_view line)
{
    std::string_view text = Trimmed(line);
    if (text.empty() || text.front() == ';')
        return "";
    if (IsAtrLine(text)) {
        if (patternLine_ != 0)
            return Fail(patternLine_,
                        "a command pattern without a response (line " + std::to_string(number) + " is the ATR line)");
        return TakeAtr(number, text.substr(3));
    }
    if (patternLine_ != 0)
        return TakeResponse(number, text);
    pattern_ = HexLine();
    std::string why = ReadHex(text, HexKind::Pattern, pattern_);
    if (!why.empty())
        return Fail(number, why);
    if (pattern_.values.size() > kMaxChainedCommand)
        return Fail(number, "a command pattern of " + ByteCount(pattern_.values.size()) +
                                "; the reader passes commands of at most " + ByteCount(kMaxChainedCommand));
    patternLine_ = number;
    return "";
}

std::string RulesBuilder::TakeAtr(size_t number, std::string_view text)
{
    if (atrLine_ != 0)
        return Fail(number, "a second ATR line (the first is line " + std::to_string(atrLine_) + ")");
    HexLine atr;
    std::string why = ReadHex(Trimmed(text), HexKind::Atr, atr);
    if (!why.empty())
        return Fail(number, why);
    if (atr.values.size() < 2 || atr.values.size() > kMaxAtrSize)
        return Fail(number,
                    "an ATR of " + ByteCount(atr.values.size()) + "; an ATR has 2 to " + std::to_string(kMaxAtrSize));
    atrLine_ = number;
    rules_.SetAtr(std::move(atr.values));
    return "";
}

std::string RulesBuilder::TakeResponse(size_t number, std::string_view text)
{
    HexLine response;
    std::string why = ReadHex(text, HexKind::Response, response);
    if (!why.empty())
        return Fail(number, why);
    const size_t size = response.values.size();
    if (size < 2)
        return Fail(number, "a response of " + ByteCount(size) + "; it needs at least SW1 SW2");
    if (size > kMaxRuleResponse)
        return Fail(number, "a response of " + ByteCount(size) + "; at most " + ByteCount(kMaxRuleResponse) +
                                " (65536 data bytes and SW1 SW2)");
    rules_.Add(pattern_.values, pattern_.masks, pattern_.open, response.values);
    patternLine_ = 0;
    return "";
}

std::string RulesBuilder::Finish(size_t lastLine)
{
    if (patternLine_ != 0)
        return Fail(patternLine_, "a command pattern without a response");
    if (atrLine_ == 0)
        return Fail(lastLine == 0 ? 1 : lastLine, "end of the file without an ATR line");
    return "";
}

} // namespace

std::optional<Rules> ParseRules(std::string_view text, const std::string &name, std::string *error)
{
    RulesBuilder builder;
    size_t number = 0;
    std::string why;
    while (!text.empty() && why.empty()) {
        const size_t end = text.find('\n');
        why = builder.Take(++number, text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    if (why.empty())
        why = builder.Finish(number);
    if (why.empty())
        return std::move(builder.Result());
    if (error)
        *error = name + ":" + std::to_string(builder.ErrorLine()) + ": " + why;
    return std::nullopt;
}

} // namespace kytsim
