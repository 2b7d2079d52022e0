#include "options.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string_view>

#include "log.h"

namespace ifdkyt {

namespace {

constexpr char kOptionSeparator = ':';
constexpr size_t kMaxNameLength = 1024;
constexpr unsigned char kSetSpeedCommand = 0x44;

// Speeds the serial port can run at; the reader knows more, the port not.
constexpr unsigned long kPortSpeeds[] = {9600, 19200, 38400, 57600, 115200};

// The environment variable that gives every reader its log= topics.
constexpr char kLogVariable[] = "KYT_IFD_LOG";
constexpr char kTopicSeparator = '+';

struct TopicName {
    const char *name;
    unsigned topics;
};
constexpr TopicName kTopicNames[] = {
    {"errors", 0}, {"calls", kLogCalls}, {"escapes", kLogEscapes}, {"polls", kLogPolls}, {"all", kLogAllTopics},
};

bool Exists(std::string_view path)
{
    char text[kMaxNameLength + 1];
    if (path.size() > kMaxNameLength)
        return false;
    memcpy(text, path.data(), path.size());
    text[path.size()] = '\0';
    struct stat info;
    return stat(text, &info) == 0;
}

bool ItemHasValue(std::string_view rest)
{
    std::string_view item = rest.substr(0, rest.find(kOptionSeparator));
    return item.find('=') != std::string_view::npos;
}

// Where the port ends in the name: see ParseDeviceName.
size_t PortEnd(std::string_view name)
{
    for (size_t end = name.size();;) {
        if (Exists(name.substr(0, end)))
            return end;
        size_t colon = name.substr(0, end).rfind(kOptionSeparator);
        if (colon == std::string_view::npos)
            break;
        end = colon;
    }
    for (size_t colon = name.find(kOptionSeparator); colon != std::string_view::npos;
         colon = name.find(kOptionSeparator, colon + 1)) {
        if (ItemHasValue(name.substr(colon + 1)))
            return colon;
    }
    return name.size();
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool ParseHex(std::string_view text, EscapePrefix *prefix)
{
    if (text.empty() || text.size() % 2 != 0 || text.size() / 2 > kMaxEscapePrefixLength)
        return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        int high = HexDigit(text[i]);
        int low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0)
            return false;
        prefix->bytes[i / 2] = static_cast<unsigned char>(high << 4 | low);
    }
    prefix->length = text.size() / 2;
    return true;
}

// A decimal number from `low` to `high`, nothing else.
bool ParseNumber(std::string_view text, unsigned long low, unsigned long high, unsigned long *value)
{
    if (text.empty() || text.size() > 10)
        return false;
    unsigned long number = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        number = number * 10 + static_cast<unsigned long>(c - '0');
    }
    if (number < low || number > high)
        return false;
    *value = number;
    return true;
}

// "calls+escapes", "all", "errors": false when a name is unknown.
bool ParseTopics(std::string_view text, unsigned *topics)
{
    unsigned parsed = 0;
    for (;;) {
        size_t separator = text.find(kTopicSeparator);
        std::string_view name = text.substr(0, separator);
        const TopicName *known = nullptr;
        for (const TopicName &topic : kTopicNames) {
            if (name == topic.name)
                known = &topic;
        }
        if (!known)
            return false;
        parsed |= known->topics;
        if (separator == std::string_view::npos)
            break;
        text.remove_prefix(separator + 1);
    }
    *topics = parsed;
    return true;
}

unsigned g_defaultTopics = 0;
pthread_once_t g_topicsOnce = PTHREAD_ONCE_INIT;

void ReadLogVariable()
{
    const char *value = getenv(kLogVariable);
    if (value && !ParseTopics(std::string_view(value, strnlen(value, kMaxNameLength)), &g_defaultTopics))
        Log(LogLevel::Error, "%s=%.64s ignored: use errors, all, or calls, escapes and polls joined by '+'",
            kLogVariable, value);
}

void ParseSpeed(std::string_view value, const char *port, ReaderOptions *options)
{
    if (value == "keep") {
        options->speed = 0;
        return;
    }
    for (unsigned long speed : kPortSpeeds) {
        char text[16];
        size_t length = static_cast<size_t>(snprintf(text, sizeof text, "%lu", speed));
        if (value == std::string_view(text, length)) {
            options->speed = speed;
            return;
        }
    }
    Log(LogLevel::Error,
        "%s: option speed=%.*s ignored: the speed is 9600, 19200, 38400, 57600, 115200 or keep; "
        "asking for %lu bit/s",
        port, static_cast<int>(value.size()), value.data(), options->speed);
}

void ParseEscape(std::string_view value, const char *port, ReaderOptions *options)
{
    if (value == "version") {
        options->allEscapes = false;
        options->prefixCount = 0;
        return;
    }
    if (value == "all") {
        options->allEscapes = true;
        return;
    }
    EscapePrefix prefix{};
    const int shown = static_cast<int>(value.size());
    if (!ParseHex(value, &prefix)) {
        Log(LogLevel::Error, "%s: option escape=%.*s ignored: use version, all, or 1 to %zu bytes in hex", port, shown,
            value.data(), kMaxEscapePrefixLength);
    } else if (prefix.bytes[0] == kSetSpeedCommand) {
        Log(LogLevel::Error, "%s: option escape=%.*s ignored: the set-speed command is never passed", port, shown,
            value.data());
    } else if (options->prefixCount == kMaxEscapePrefixes) {
        Log(LogLevel::Error, "%s: option escape=%.*s ignored: at most %zu escape prefixes", port, shown, value.data(),
            kMaxEscapePrefixes);
    } else {
        options->prefixes[options->prefixCount++] = prefix;
    }
}

void ParseTimeout(std::string_view value, const char *port, ReaderOptions *options)
{
    unsigned long seconds = 0;
    if (ParseNumber(value, 1, kMaxCommandSeconds, &seconds)) {
        options->commandSeconds = static_cast<unsigned>(seconds);
        return;
    }
    Log(LogLevel::Error, "%s: option timeout=%.*s ignored: the timeout is 1 to %u seconds; a card has %u s", port,
        static_cast<int>(value.size()), value.data(), kMaxCommandSeconds, options->commandSeconds);
}

void ParseSlots(std::string_view value, const char *port, ReaderOptions *options)
{
    if (ParseNumber(value, 1, kMaxDeclaredSlots, &options->slots))
        return;
    Log(LogLevel::Error, "%s: option slots=%.*s ignored: a reader of the family has 1 to %lu slots", port,
        static_cast<int>(value.size()), value.data(), kMaxDeclaredSlots);
}

void ParseLog(std::string_view value, const char *port, ReaderOptions *options)
{
    if (ParseTopics(value, &options->logTopics))
        return;
    Log(LogLevel::Error, "%s: option log=%.*s ignored: use errors, all, or calls, escapes and polls joined by '+'",
        port, static_cast<int>(value.size()), value.data());
}

using OptionParser = void (*)(std::string_view value, const char *port, ReaderOptions *options);

struct OptionName {
    const char *name;
    OptionParser parse;
};
constexpr OptionName kOptions[] = {
    {"speed", ParseSpeed}, {"escape", ParseEscape}, {"timeout", ParseTimeout}, {"slots", ParseSlots}, {"log", ParseLog},
};

void ParseOption(std::string_view item, const char *port, ReaderOptions *options)
{
    size_t equals = item.find('=');
    if (equals != std::string_view::npos) {
        std::string_view name = item.substr(0, equals);
        for (const OptionName &option : kOptions) {
            if (name == option.name) {
                option.parse(item.substr(equals + 1), port, options);
                return;
            }
        }
    }
    Log(LogLevel::Error, "%s: unknown option \"%.*s\" ignored (options are speed=, escape=, timeout=, slots= and log=)",
        port, static_cast<int>(item.size()), item.data());
}

} // namespace

ReaderOptions DefaultOptions()
{
    pthread_once(&g_topicsOnce, ReadLogVariable);
    ReaderOptions options{};
    options.speed = kDefaultSpeed;
    options.commandSeconds = kDefaultCommandSeconds;
    options.logTopics = g_defaultTopics;
    return options;
}

bool ParseDeviceName(const char *deviceName, char *port, size_t portSize, ReaderOptions *options)
{
    std::string_view name(deviceName, strnlen(deviceName, kMaxNameLength + 1));
    if (name.size() > kMaxNameLength)
        return false;
    size_t end = PortEnd(name);
    if (end == 0 || end >= portSize)
        return false;
    memcpy(port, name.data(), end);
    port[end] = '\0';

    *options = DefaultOptions();
    if (end == name.size())
        return true;
    std::string_view rest = name.substr(end + 1);
    for (;;) {
        size_t separator = rest.find(kOptionSeparator);
        ParseOption(rest.substr(0, separator), port, options);
        if (separator == std::string_view::npos)
            break;
        rest = rest.substr(separator + 1);
    }
    return true;
}

} // namespace ifdkyt
