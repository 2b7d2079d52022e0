#include "log.h"

#include <dlfcn.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>

namespace ifdkyt {

namespace {

using LogFunction = void (*)(int priority, const char *format, ...);

pthread_once_t g_resolveOnce = PTHREAD_ONCE_INIT;
LogFunction g_logMsg = nullptr;

// pcscd's log_msg, when the handler runs inside pcscd (or a program that
// offers the same function).
void ResolveLogFunction()
{
    g_logMsg = reinterpret_cast<LogFunction>(dlsym(RTLD_DEFAULT, "log_msg"));
}

void LogText(LogLevel level, const char *text)
{
    pthread_once(&g_resolveOnce, ResolveLogFunction);
    if (g_logMsg)
        g_logMsg(static_cast<int>(level), "ifdkyt: %s", text);
    else
        fprintf(stderr, "ifdkyt: %s\n", text);
}

} // namespace

void Log(LogLevel level, const char *format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    // clang-tidy 14 takes args for uninitialised here when it has analysed
    // another file in the same run first.
    vsnprintf(text, sizeof text, format, args); // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(args);
    LogText(level, text);
}

} // namespace ifdkyt
