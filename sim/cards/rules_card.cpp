// Rules cards: the file read with its size bounded, and commands answered by
// the first rule that matches.
#include "rules_card.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "iso_apdu.h"
#include "protocol.h"

namespace kytsim {

namespace {

std::string TooLarge()
{
    return "larger than the " + std::to_string(kMaxRulesFile / (1024 * 1024)) + " MiB a rules file may have";
}

// The file's text, at most kMaxRulesFile bytes; "" in *error when read.
std::string ReadBounded(int fd, const std::string &path, std::string *error)
{
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        *error = path + ": " + std::strerror(errno);
        return "";
    }
    // Anything else (a FIFO, a terminal, a device) might never end.
    if (!S_ISREG(info.st_mode)) {
        *error = path + ": not a regular file";
        return "";
    }
    if (static_cast<unsigned long long>(info.st_size) > kMaxRulesFile) {
        *error = path + ": " + TooLarge();
        return "";
    }
    std::string text;
    char buffer[16384];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = path + ": " + std::strerror(errno);
            return "";
        }
        if (n == 0)
            return text;
        // The file may grow while it is read: the bound holds all the same.
        if (text.size() + static_cast<size_t>(n) > kMaxRulesFile) {
            *error = path + ": " + TooLarge();
            return "";
        }
        text.append(buffer, static_cast<size_t>(n));
    }
}

} // namespace

void Rules::Add(const Bytes &values, const Bytes &masks, bool open, const Bytes &response)
{
    Rule rule{static_cast<uint32_t>(values_.size()), static_cast<uint32_t>(values.size()),
              static_cast<uint32_t>(responses_.size()), static_cast<uint32_t>(response.size()), open};
    values_.insert(values_.end(), values.begin(), values.end());
    masks_.insert(masks_.end(), masks.begin(), masks.end());
    responses_.insert(responses_.end(), response.begin(), response.end());
    rules_.push_back(rule);
}

bool Rules::Matches(const Rule &rule, const Bytes &command) const
{
    if (rule.open ? command.size() < rule.patternLength : command.size() != rule.patternLength)
        return false;
    for (size_t i = 0; i < rule.patternLength; i++) {
        if (((command[i] ^ values_[rule.pattern + i]) & masks_[rule.pattern + i]) != 0)
            return false;
    }
    return true;
}

Bytes Rules::Answer(const Bytes &command) const
{
    for (const Rule &rule : rules_) {
        if (Matches(rule, command)) {
            auto first = responses_.begin() + rule.response;
            return Bytes(first, first + rule.responseLength);
        }
    }
    return StatusWord(kSwInsNotSupported);
}

std::optional<Rules> ReadRulesFile(const std::string &path, std::string *error)
{
    std::string why;
    // Without O_NONBLOCK, opening a FIFO would wait for a writer.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        why = path + ": " + std::strerror(errno);
    } else {
        std::string text = ReadBounded(fd, path, &why);
        close(fd);
        if (why.empty())
            return ParseRules(text, path, error);
    }
    if (error)
        *error = why;
    return std::nullopt;
}

std::optional<Card> RulesCard(const std::string &path, std::string *error)
{
    std::optional<Rules> rules = ReadRulesFile(path, error);
    if (!rules)
        return std::nullopt;
    auto shared = std::make_shared<const Rules>(std::move(*rules));
    Card card;
    card.atr = shared->Atr();
    card.handler = [shared](const Bytes &command) { return shared->Answer(command); };
    return card;
}

std::string RulesHex(const Bytes &bytes)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 3);
    for (uint8_t byte : bytes) {
        if (!text.empty())
            text += ' ';
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

} // namespace kytsim
