// Fault names, what the host sees of each, and rates.
#include "fault_names.h"

#include <algorithm>

#include "parsing.h"

namespace kytsim::program {

namespace {

struct FaultEntry {
    FaultKind kind;
    const char *name;
    const char *effect; // what the host sees, with the library's retries
};

constexpr FaultEntry kFaults[] = {
#define KYT_SIM_FAULT_ENTRY(kind, count, name, effect) {FaultKind::kind, name, effect},
    KYT_SIM_FAULT_KINDS(KYT_SIM_FAULT_ENTRY)
#undef KYT_SIM_FAULT_ENTRY
};

constexpr size_t kHelpWidth = 79;
constexpr size_t kHelpIndent = 22;
constexpr unsigned kRateDecimals = 4;
constexpr uint32_t kPerCent = 10000; // parts per million in one percent
constexpr uint32_t kAll = 100 * kPerCent;

// `head`, then the words of `text` in lines that start at column
// kHelpIndent and end before kHelpWidth.
std::string Wrapped(const std::string &head, const std::string &text)
{
    std::string out = head + std::string(kHelpIndent - std::min(head.size() + 1, kHelpIndent), ' ') + " ";
    size_t column = std::max(head.size() + 1, kHelpIndent);
    bool lineEmpty = true;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = std::min(text.find(' ', pos), text.size());
        std::string word = text.substr(pos, end - pos);
        pos = end + 1;
        if (!lineEmpty && column + 1 + word.size() > kHelpWidth) {
            out += "\n" + std::string(kHelpIndent, ' ');
            column = kHelpIndent;
            lineEmpty = true;
        }
        if (!lineEmpty) {
            out += ' ';
            column++;
        }
        out += word;
        column += word.size();
        lineEmpty = false;
    }
    return out + "\n";
}

} // namespace

std::optional<FaultKind> FaultKindByName(const std::string &name)
{
    for (const FaultEntry &entry : kFaults) {
        if (name == entry.name)
            return entry.kind;
    }
    return std::nullopt;
}

const char *FaultName(FaultKind kind)
{
    for (const FaultEntry &entry : kFaults) {
        if (kind == entry.kind)
            return entry.name;
    }
    return "?";
}

std::string FaultKindsHelp()
{
    std::string help;
    for (const FaultEntry &entry : kFaults)
        help += Wrapped("  " + std::string(entry.name), entry.effect);
    return help;
}

std::optional<uint32_t> ParseRate(const std::string &text)
{
    std::string number = !text.empty() && text.back() == '%' ? text.substr(0, text.size() - 1) : text;
    size_t point = number.find('.');
    std::string whole = number.substr(0, point);
    std::string decimals = point == std::string::npos ? std::string() : number.substr(point + 1);
    if (whole.size() > 3 || decimals.size() > kRateDecimals || (point != std::string::npos && decimals.empty()))
        return std::nullopt;
    std::optional<unsigned long> percent = ParseNumber(whole);
    std::optional<unsigned long> fraction = ParseNumber(decimals + std::string(kRateDecimals - decimals.size(), '0'));
    if (!percent || !fraction)
        return std::nullopt;
    unsigned long rate = *percent * kPerCent + *fraction;
    if (rate > kAll)
        return std::nullopt;
    return static_cast<uint32_t>(rate);
}

std::string RateText(uint32_t partsPerMillion)
{
    std::string text = std::to_string(partsPerMillion / kPerCent);
    std::string decimals = std::to_string(partsPerMillion % kPerCent + kPerCent).substr(1);
    while (!decimals.empty() && decimals.back() == '0')
        decimals.pop_back();
    if (!decimals.empty())
        text += "." + decimals;
    return text + "%";
}

} // namespace kytsim::program
