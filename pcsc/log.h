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

void Log(LogLevel level, const char *format, ...) __attribute__((format(printf, 2, 3)));

} // namespace ifdkyt

#endif
