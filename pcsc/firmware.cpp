#include "firmware.h"

#include <string.h>

#include <string_view>

namespace ifdkyt {

namespace {

constexpr unsigned long kMaxMajor = 0xFF;
constexpr unsigned long kMaxMinor = 0xFF;
constexpr unsigned long kMaxBuild = 0xFFFF;

// The text as printable ASCII: other bytes count as spaces, a NUL ends it,
// and spaces at either end are dropped.
void CopyText(const unsigned char *bytes, size_t length, char *text)
{
    size_t used = 0;
    for (size_t i = 0; i < length && used + 1 < kIdentityTextSize; i++) {
        unsigned char c = bytes[i];
        if (c == '\0')
            break;
        bool printable = c > ' ' && c <= '~';
        if (!printable && (used == 0 || text[used - 1] == ' '))
            continue;
        text[used++] = printable ? static_cast<char>(c) : ' ';
    }
    while (used > 0 && text[used - 1] == ' ')
        used--;
    text[used] = '\0';
}

// Reads the decimal number at the start of *word; false when there is none
// or it is larger than `limit`.
bool TakeNumber(std::string_view *word, unsigned long limit, unsigned long *value)
{
    size_t digits = 0;
    unsigned long number = 0;
    while (digits < word->size() && (*word)[digits] >= '0' && (*word)[digits] <= '9') {
        number = number * 10 + static_cast<unsigned long>((*word)[digits] - '0');
        if (number > limit)
            return false;
        digits++;
    }
    if (digits == 0)
        return false;
    word->remove_prefix(digits);
    *value = number;
    return true;
}

// "1.0.1", "V2.10" or "v3.1b": at least major.minor; anything after the
// last number is a suffix and ignored.
bool ParseVersion(std::string_view word, uint32_t *version)
{
    if (!word.empty() && (word[0] == 'V' || word[0] == 'v'))
        word.remove_prefix(1);
    unsigned long major = 0, minor = 0, build = 0;
    if (!TakeNumber(&word, kMaxMajor, &major) || word.empty() || word[0] != '.')
        return false;
    word.remove_prefix(1);
    if (!TakeNumber(&word, kMaxMinor, &minor))
        return false;
    if (!word.empty() && word[0] == '.') {
        word.remove_prefix(1);
        if (!TakeNumber(&word, kMaxBuild, &build))
            return false;
    }
    *version = static_cast<uint32_t>(major << 24 | minor << 16 | build);
    return true;
}

} // namespace

void ParseFirmwareReply(const unsigned char *reply, size_t length, ReaderIdentity *identity)
{
    *identity = ReaderIdentity{};
    if (length <= kFirmwareTextOffset)
        return;
    CopyText(reply + kFirmwareTextOffset, length - kFirmwareTextOffset, identity->text);

    std::string_view text(identity->text);
    size_t modelEnd = text.find(' ');
    std::string_view model = text.substr(0, modelEnd);
    memcpy(identity->model, model.data(), model.size());
    identity->model[model.size()] = '\0';

    // The version is the first word after the model that reads as one.
    while (modelEnd != std::string_view::npos && !identity->hasVersion) {
        text.remove_prefix(modelEnd + 1);
        modelEnd = text.find(' ');
        identity->hasVersion = ParseVersion(text.substr(0, modelEnd), &identity->version);
    }
}

bool IsFirmwareQuery(const unsigned char *command, size_t length)
{
    return length == sizeof kFirmwareQuery && memcmp(command, kFirmwareQuery, length) == 0;
}

} // namespace ifdkyt
