#include "sim_program.h"

#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace rig {

namespace {

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

} // namespace

Program Spawn(const std::vector<std::string> &args, Input input)
{
    int pipeFds[2];
    int inFds[2] = {-1, -1};
    Program program;
    if (pipe2(pipeFds, O_CLOEXEC) != 0 || (input == Input::Pipe && pipe2(inFds, O_CLOEXEC) != 0))
        return program;
    program.pid = fork();
    if (program.pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        SetChildInput(input, inFds);
        std::vector<char *> argv;
        std::string binary = KYT_SIM_BINARY;
        argv.push_back(binary.data());
        for (const std::string &arg : args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        execv(binary.c_str(), argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    program.out = fdopen(pipeFds[0], "r");
    if (input == Input::Pipe) {
        close(inFds[0]);
        program.in = inFds[1];
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
    int status = ExitStatus(program.pid, wait);
    if (program.out)
        fclose(program.out);
    if (program.in >= 0)
        close(program.in);
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

std::string Ask(Program &program, const std::string &command)
{
    std::string line = command + "\n";
    if (write(program.in, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        return "";
    std::string answer;
    for (int c = fgetc(program.out); c != EOF && c != '\n'; c = fgetc(program.out))
        answer += static_cast<char>(c);
    return answer;
}

} // namespace rig
