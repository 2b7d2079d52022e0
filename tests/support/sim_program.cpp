#include "sim_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include <gtest/gtest.h>

namespace rig {

namespace {

constexpr int kReadyWaitMs = 60000;

// The child's side: standard input /dev/null, output and error the pipes.
[[noreturn]] void RunChild(const std::vector<std::string> &args, int out, int err)
{
    int null = open("/dev/null", O_RDONLY);
    dup2(null, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    std::vector<char *> argv;
    std::string binary = KYT_SIM_BINARY;
    argv.push_back(binary.data());
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    execv(binary.c_str(), argv.data());
    _exit(127);
}

// Appends what `fd` has to `text`, waiting up to `waitMs` for the first
// bytes; false at its end.
bool ReadSome(int fd, std::string *text, int waitMs)
{
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, waitMs) <= 0)
        return true;
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0)
        return false;
    text->append(buffer, static_cast<size_t>(n));
    return true;
}

} // namespace

SimProgram::SimProgram(const std::vector<std::string> &args)
{
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return;
    }
    pid_ = fork();
    if (pid_ == 0)
        RunChild(args, out[1], err[1]);
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
}

SimProgram::~SimProgram()
{
    if (pid_ > 0)
        Stop(SIGKILL);
    for (int fd : {out_, err_}) {
        if (fd >= 0)
            close(fd);
    }
}

bool SimProgram::ReadOutputLine(std::string *line)
{
    auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReadyWaitMs);
    size_t end;
    while ((end = outBuffer_.find('\n')) == std::string::npos) {
        if (std::chrono::steady_clock::now() > giveUp || !ReadSome(out_, &outBuffer_, 100))
            return false;
    }
    *line = outBuffer_.substr(0, end);
    outBuffer_.erase(0, end + 1);
    return true;
}

bool SimProgram::AwaitReady()
{
    const std::string ready = "Simulated reader ready on ";
    const std::string waits = "Slot ";
    std::string line;
    while (ReadOutputLine(&line)) {
        if (line.rfind(ready, 0) == 0) {
            path_ = line.substr(ready.size());
            return true;
        }
        unsigned slot = 0;
        unsigned port = 0;
        if (std::sscanf(line.c_str(), "Slot %u waits for a card emulator on 127.0.0.1:%u", &slot, &port) != 2) {
            ADD_FAILURE() << "kyt_sim said: " << line;
            return false;
        }
        vpcdPorts_[slot] = static_cast<uint16_t>(port);
    }
    ADD_FAILURE() << "kyt_sim never became ready; its standard error: " << ErrorText();
    return false;
}

uint16_t SimProgram::VpcdPort(unsigned slot) const
{
    auto found = vpcdPorts_.find(slot);
    return found == vpcdPorts_.end() ? 0 : found->second;
}

std::string SimProgram::Output()
{
    auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReadyWaitMs);
    while (std::chrono::steady_clock::now() < giveUp && ReadSome(out_, &outBuffer_, 100)) {
    }
    std::string text = std::move(outBuffer_);
    outBuffer_.clear();
    return text;
}

void SimProgram::CollectError(int waitMs)
{
    if (err_ >= 0 && !ReadSome(err_, &errText_, waitMs)) {
        close(err_);
        err_ = -1;
    }
}

bool SimProgram::AwaitError(const std::string &text, std::chrono::milliseconds limit)
{
    auto giveUp = std::chrono::steady_clock::now() + limit;
    while (errText_.find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > giveUp)
            return false;
        if (err_ < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        CollectError(100);
    }
    return true;
}

std::string SimProgram::ErrorText()
{
    CollectError(0);
    return errText_;
}

int SimProgram::Stop(int signal, std::chrono::milliseconds limit)
{
    if (pid_ <= 0)
        return -1;
    kill(pid_, signal);
    return Wait(limit);
}

int SimProgram::Wait(std::chrono::milliseconds limit)
{
    if (pid_ <= 0)
        return -1;
    auto giveUp = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > giveUp) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            pid_ = -1;
            return -1;
        }
        CollectError(10);
    }
    pid_ = -1;
    CollectError(0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace rig
