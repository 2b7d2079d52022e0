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

} // namespace

void Log(LogLevel level, const char *format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);

    pthread_once(&g_resolveOnce, ResolveLogFunction);
    if (g_logMsg)
        g_logMsg(static_cast<int>(level), "ifdkyt: %s", text);
    else
        fprintf(stderr, "ifdkyt: %s\n", text);
}

} // namespace ifdkyt
