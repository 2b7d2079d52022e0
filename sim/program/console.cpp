// The command channel.  The thread waits on standard input or output and on
// a pipe of its own at once, so that Stop() ends it at any time; for the same
// reason it reads and writes with read(2) and write(2) rather than stdio, and
// cuts the lines itself.
#include "console.h"

#include <cerrno>
#include <cstring>

#include <poll.h>
#include <unistd.h>

#include "console_commands.h"

namespace kytsim::program {

namespace {

// A longer line is taken in pieces of this size, as fgets with a buffer of
// 1024 bytes would.  The longest command is an insert of the longest ATR
// (254 bytes, 508 hex digits), which fits.
constexpr size_t kMaxLine = 1023;

bool Blank(const std::string &line)
{
    return line.find_first_not_of(" \t\r\n\v\f") == std::string::npos;
}

} // namespace

Console::Console(SimReader &reader, unsigned slots) : reader_(reader), slots_(slots)
{
}

Console::~Console()
{
    Stop();
    for (int fd : wakePipe_) {
        if (fd >= 0)
            close(fd);
    }
}

bool Console::Start(std::string *error)
{
    if (pipe(wakePipe_) != 0) {
        if (error)
            *error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    thread_ = std::thread([this] { Run(); });
    return true;
}

void Console::Stop()
{
    if (!thread_.joinable())
        return;
    // The byte stays in the pipe: every later wait sees it too.
    uint8_t byte = 1;
    ssize_t ignored = write(wakePipe_[1], &byte, 1);
    (void)ignored;
    thread_.join();
}

// Reads until the end of the input, a read error (EIO for a background
// process reading its terminal) or a wake-up through the pipe.  At the end of
// the input a last line without its newline is still a command.
void Console::Run()
{
    std::string line;
    while (WaitFor(STDIN_FILENO, POLLIN)) {
        char buffer[512];
        ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0) {
            Answer(line);
            return;
        }
        for (ssize_t i = 0; i < n; i++) {
            line += buffer[i];
            if (buffer[i] != '\n' && line.size() < kMaxLine)
                continue;
            if (!Answer(line))
                return;
            line.clear();
        }
    }
}

// Answers one line (a blank one gets no answer); false when stopped.
bool Console::Answer(const std::string &line)
{
    if (Blank(line))
        return true;
    return Write(RunConsoleCommand(reader_, slots_, line) + "\n");
}

bool Console::Write(const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        if (!WaitFor(STDOUT_FILENO, POLLOUT))
            return false;
        ssize_t n = write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// True when `fd` is ready for `events` (or has an error to report), false
// when Stop() wakes the thread.
bool Console::WaitFor(int fd, short events)
{
    for (;;) {
        pollfd fds[2] = {{fd, events, 0}, {wakePipe_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (fds[1].revents != 0)
            return false;
        if (fds[0].revents != 0)
            return true;
    }
}

} // namespace kytsim::program
