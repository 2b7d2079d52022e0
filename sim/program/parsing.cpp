// Values as people type them.
#include "parsing.h"

#include <cstdlib>
#include <sstream>

#include "protocol.h"

namespace kytsim::program {

std::optional<unsigned long> ParseNumber(const std::string &text)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return std::strtoul(text.c_str(), nullptr, 10);
}

std::optional<unsigned> ParseSlot(const std::string &text)
{
    std::optional<unsigned long> slot = ParseNumber(text);
    if (!slot || *slot >= kMaxSlots)
        return std::nullopt;
    return static_cast<unsigned>(*slot);
}

std::optional<uint32_t> ParseSpeed(const std::string &text)
{
    std::optional<unsigned long> speed = ParseNumber(text);
    for (uint32_t entry : kSpeedTable) {
        if (speed && *speed == entry)
            return entry;
    }
    return std::nullopt;
}

std::optional<Bytes> ParseHex(const std::string &text)
{
    if (text.empty() || text.size() % 2 != 0)
        return std::nullopt;
    Bytes bytes;
    for (size_t i = 0; i < text.size(); i += 2) {
        char pair[3] = {text[i], text[i + 1], 0};
        char *end = nullptr;
        unsigned long value = std::strtoul(pair, &end, 16);
        if (end != pair + 2)
            return std::nullopt;
        bytes.push_back(static_cast<uint8_t>(value));
    }
    return bytes;
}

std::vector<std::string> CommandWords(const std::string &line)
{
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string word; words.size() < 4 && in >> word;)
        words.push_back(word);
    return words;
}

} // namespace kytsim::program
