// The frame log written to a file.
#include "frame_log_file.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#include "options.h"
#include "parsing.h"

namespace kytsim::program {

namespace {

constexpr unsigned long kMaxSizeKib = 1024 * 1024; // 1 GiB, within a 32-bit size_t
constexpr size_t kKib = 1024;

// The wall-clock time of a steady-clock time point, as
// 2026-05-04T10:11:12.123456Z.
std::string UtcTime(Clock::time_point when)
{
    auto wall = std::chrono::system_clock::now() -
                std::chrono::duration_cast<std::chrono::system_clock::duration>(Clock::now() - when);
    auto micros = std::chrono::duration_cast<std::chrono::microseconds>(wall.time_since_epoch()).count();
    std::time_t seconds = static_cast<std::time_t>(micros / 1000000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + length, sizeof text - length, ".%06ldZ", static_cast<long>(micros % 1000000));
    return text;
}

std::string LogLine(const LogEntry &entry)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string line = UtcTime(entry.time);
    line += entry.direction == Direction::HostToReader ? " host>reader" : " reader>host";
    for (uint8_t byte : entry.bytes) {
        line += ' ';
        line += kDigits[byte >> 4];
        line += kDigits[byte & 0x0F];
    }
    return line + "\n";
}

std::string LogOption(const std::string &, const std::string &value, Options &options)
{
    options.logFile.path = value;
    return value.empty() ? "--log wants a file name" : "";
}

std::string LogSizeOption(const std::string &, const std::string &value, Options &options)
{
    std::optional<unsigned long> kib = ParseNumber(value);
    if (!kib || *kib == 0 || *kib > kMaxSizeKib)
        return "bad size " + value + " for --log-size (KiB, 1 to " + std::to_string(kMaxSizeKib) + ")";
    options.logFile.maxBytes = *kib * kKib;
    return "";
}

} // namespace

std::optional<std::string> ApplyLogOption(const std::string &option, const std::string &value, Options &options)
{
    if (option == "--log")
        return LogOption(option, value, options);
    if (option == "--log-size")
        return LogSizeOption(option, value, options);
    return std::nullopt;
}

FrameLogFile::~FrameLogFile()
{
    if (file_)
        std::fclose(file_);
}

bool FrameLogFile::Open(const LogFileOptions &options, std::string *error)
{
    path_ = options.path;
    maxBytes_ = options.maxBytes;
    file_ = std::fopen(path_.c_str(), "w");
    if (!file_ && error)
        *error = path_ + ": " + std::strerror(errno);
    return file_ != nullptr;
}

// Each line is flushed at once, so that the file can be followed as it
// grows and a killed simulator leaves whole lines behind.
void FrameLogFile::Write(const LogEntry &entry)
{
    if (!file_)
        return;
    std::string line = LogLine(entry);
    if (written_ > 0 && written_ + line.size() > maxBytes_ && !Rotate())
        return;
    if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() || std::fflush(file_) != 0) {
        GiveUp("cannot write");
        return;
    }
    written_ += line.size();
}

bool FrameLogFile::Rotate()
{
    std::fclose(file_);
    file_ = nullptr;
    std::string older = path_ + ".1";
    if (std::rename(path_.c_str(), older.c_str()) != 0) {
        GiveUp("cannot rename");
        return false;
    }
    file_ = std::fopen(path_.c_str(), "w");
    written_ = 0;
    if (!file_) {
        GiveUp("cannot reopen");
        return false;
    }
    return true;
}

void FrameLogFile::GiveUp(const char *what)
{
    std::fprintf(stderr, "kyt_sim: %s the log %s (%s); the log stops here\n", what, path_.c_str(),
                 std::strerror(errno));
    if (file_)
        std::fclose(file_);
    file_ = nullptr;
}

} // namespace kytsim::program
