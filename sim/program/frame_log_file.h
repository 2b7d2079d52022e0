// kyt_sim's --log FILE: every frame that crosses the line, written as a
// line of text as it happens, in a file of bounded size.
//
//   2026-05-04T10:11:12.123456Z host>reader 02 65 00 00 00 00 00 05 00 00 00 60 03
//   2026-05-04T10:11:12.123501Z reader>host 02 00 00 03
//
// The time is UTC, in microseconds; the bytes are a whole frame as on the
// wire (or bytes that formed no frame).  The file is emptied at the start.
// When a line would take it past its size, it is renamed FILE.1 (replacing
// an older FILE.1) and a new FILE begins, so the log never takes more than
// twice the size on disk.  Only a single frame longer than the size makes a
// file longer than that.
#ifndef KYT_SIM_FRAME_LOG_FILE_H
#define KYT_SIM_FRAME_LOG_FILE_H

#include <cstdio>
#include <optional>
#include <string>

#include "sim_reader.h"

namespace kytsim::program {

struct Options;

struct LogFileOptions {
    std::string path;              // "" writes no file
    size_t maxBytes = 1024 * 1024; // each of FILE and FILE.1
};

// Applies --log or --log-size: "" when the value is good, else why not;
// nullopt when `option` is neither.
std::optional<std::string> ApplyLogOption(const std::string &option, const std::string &value, Options &options);

// Not thread-safe: the reader's log calls Write() on its thread, in order.
class FrameLogFile {
public:
    FrameLogFile() = default;
    ~FrameLogFile();
    FrameLogFile(const FrameLogFile &) = delete;
    FrameLogFile &operator=(const FrameLogFile &) = delete;

    // Empties or creates the file; false (with the reason in *error) when
    // it cannot be written.
    bool Open(const LogFileOptions &options, std::string *error);
    // After a failed write or rotation the file is given up, with one
    // message on standard error.
    void Write(const LogEntry &entry);

private:
    bool Rotate();
    void GiveUp(const char *what);

    FILE *file_ = nullptr;
    std::string path_;
    size_t maxBytes_ = 0;
    size_t written_ = 0;
};

} // namespace kytsim::program

#endif
