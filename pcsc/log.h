// Messages of the handler in pcscd's log.
//
// pcscd exports its logging function, log_msg, to the drivers it loads; its
// --debug, --info and --error options and its log destination (stderr or
// syslog) then apply to the handler's messages too.  Outside pcscd (a test
// program loading the handler) the messages go to standard error.
#ifndef IFDKYT_LOG_H
#define IFDKYT_LOG_H

namespace ifdkyt {

// pcsc-lite's priorities (PCSC_LOG_DEBUG ... PCSC_LOG_CRITICAL).
enum class LogLevel { Debug = 0, Info = 1, Error = 2, Critical = 3 };

// What a reader's log= option adds to the handler's errors and the reader's
// own events (opened, silent, lost, back), which are always logged.
enum LogTopic : unsigned {
    kLogCalls = 1u << 0,   // each IFD call but the presence polls, with its Lun and result
    kLogEscapes = 1u << 1, // each escape command passed to the reader or refused
    kLogPolls = 1u << 2,   // the presence polls and pcscd's waits between them
};
constexpr unsigned kLogAllTopics = kLogCalls | kLogEscapes | kLogPolls;

void Log(LogLevel level, const char *format, ...) __attribute__((format(printf, 2, 3)));

} // namespace ifdkyt

#endif
