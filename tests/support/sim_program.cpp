// The kyt_sim program started as a child of the test, its output read
// through pipes.
#include "sim_program.h"

#include <cstdio>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace rig {

namespace {

constexpr int kReadyWaitMs = 60000;

// Gives the child the standard input asked for.
void SetChildInput(Input input, const int inFds[2])
{
    if (input == Input::Pipe)
        dup2(inFds[0], STDIN_FILENO);
    if (input == Input::Null) {
        int null = open("/dev/null", O_RDONLY);
        dup2(null, STDIN_FILENO);
        close(null);
    }
    if (input == Input::Closed)
        close(STDIN_FILENO);
}

[[noreturn]] void Exec(const std::vector<std::string> &args)
{
    std::vector<char *> argv;
    std::string binary = KYT_SIM_BINARY;
    argv.push_back(binary.data());
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    execv(binary.c_str(), argv.data());
    _exit(127);
}

void ClosePair(int fds[2])
{
    for (int i = 0; i < 2; ++i) {
        if (fds[i] >= 0)
            close(fds[i]);
    }
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

Program Spawn(const std::vector<std::string> &args, Input input, Errors errors)
{
    int outFds[2] = {-1, -1};
    int inFds[2] = {-1, -1};
    int errFds[2] = {-1, -1};
    Program program;
    if (pipe2(outFds, O_CLOEXEC) != 0 || (input == Input::Pipe && pipe2(inFds, O_CLOEXEC) != 0) ||
        (errors == Errors::Separate && pipe2(errFds, O_CLOEXEC) != 0)) {
        ClosePair(outFds);
        ClosePair(inFds);
        ClosePair(errFds);
        return program;
    }
    program.pid = fork();
    if (program.pid == 0) {
        dup2(outFds[1], STDOUT_FILENO);
        if (errors == Errors::Merged)
            dup2(outFds[1], STDERR_FILENO);
        if (errors == Errors::Separate)
            dup2(errFds[1], STDERR_FILENO);
        SetChildInput(input, inFds);
        Exec(args);
    }
    close(outFds[1]);
    program.out = fdopen(outFds[0], "r");
    if (input == Input::Pipe) {
        close(inFds[0]);
        program.in = inFds[1];
    }
    if (errors == Errors::Separate) {
        close(errFds[1]);
        program.err = errFds[0];
    }
    return program;
}

int ExitStatus(pid_t pid, std::chrono::milliseconds wait)
{
    auto deadline = std::chrono::steady_clock::now() + wait;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int Wait(Program &program, std::chrono::milliseconds wait)
{
    int status = program.pid > 0 ? ExitStatus(program.pid, wait) : -1;
    program.pid = -1;
    if (program.out)
        fclose(program.out);
    program.out = nullptr;
    for (int *fd : {&program.in, &program.err}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    return status;
}

std::string ReadyPort(Program &program)
{
    char line[512] = {};
    if (fgets(line, sizeof line, program.out) == nullptr) {
        ADD_FAILURE() << "no output";
        return "";
    }
    std::string text = line;
    const std::string prefix = "Simulated reader ready on ";
    if (text.compare(0, prefix.size(), prefix) != 0 || text.back() != '\n') {
        ADD_FAILURE() << text;
        return "";
    }
    return text.substr(prefix.size(), text.size() - prefix.size() - 1);
}

std::string ReadAll(FILE *file)
{
    std::string text;
    char buffer[512];
    while (fgets(buffer, sizeof buffer, file))
        text += buffer;
    return text;
}

SimProgram::SimProgram(const std::vector<std::string> &args, Input input, Errors errors)
    : program_(Spawn(args, input, errors))
{
    // A console write to a program that has ended must fail, not end the test.
    if (input == Input::Pipe)
        signal(SIGPIPE, SIG_IGN);
    // Read with poll and read(2) only, so that stdio's buffer stays empty.
    if (program_.out)
        out_ = fileno(program_.out);
}

SimProgram::~SimProgram()
{
    if (Running())
        Stop(SIGKILL);
    rig::Wait(program_, std::chrono::milliseconds(0));
}

bool SimProgram::ReadOutputLine(std::string *line)
{
    auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReadyWaitMs);
    size_t end;
    while ((end = outBuffer_.find('\n')) == std::string::npos) {
        if (out_ < 0 || std::chrono::steady_clock::now() > giveUp || !ReadSome(out_, &outBuffer_, 100))
            return false;
    }
    *line = outBuffer_.substr(0, end);
    outBuffer_.erase(0, end + 1);
    return true;
}

bool SimProgram::AwaitReady()
{
    const std::string ready = "Simulated reader ready on ";
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
    while (out_ >= 0 && std::chrono::steady_clock::now() < giveUp && ReadSome(out_, &outBuffer_, 100)) {
    }
    std::string text = std::move(outBuffer_);
    outBuffer_.clear();
    return text;
}

std::string SimProgram::Ask(const std::string &command)
{
    std::string line = command + "\n";
    if (program_.in < 0 || write(program_.in, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        return "";
    std::string answer;
    ReadOutputLine(&answer);
    return answer;
}

void SimProgram::CloseInput()
{
    if (program_.in >= 0)
        close(program_.in);
    program_.in = -1;
}

void SimProgram::CollectError(int waitMs)
{
    if (program_.err >= 0 && !ReadSome(program_.err, &errText_, waitMs)) {
        close(program_.err);
        program_.err = -1;
    }
}

bool SimProgram::AwaitError(const std::string &text, std::chrono::milliseconds limit)
{
    auto giveUp = std::chrono::steady_clock::now() + limit;
    while (errText_.find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > giveUp)
            return false;
        if (program_.err < 0)
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
    if (!Running())
        return -1;
    kill(program_.pid, signal);
    return Wait(limit);
}

int SimProgram::Wait(std::chrono::milliseconds limit)
{
    if (!Running())
        return -1;
    auto giveUp = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(program_.pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > giveUp) {
            kill(program_.pid, SIGKILL);
            waitpid(program_.pid, &status, 0);
            program_.pid = -1;
            return -1;
        }
        CollectError(10);
    }
    program_.pid = -1;
    CollectError(0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace rig
