#include "program_run.h"
#include "temp_files.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

extern char **environ;

namespace rig {

namespace {

std::string ReadFrom(int fd)
{
    std::string text;
    lseek(fd, 0, SEEK_SET);
    char chunk[4096];
    ssize_t got;
    while ((got = read(fd, chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<size_t>(got));
    return text;
}

// The test's environment with the additions, a name given again replacing
// the test's own value.
std::vector<std::string> MergedEnvironment(const std::vector<std::string> &additions)
{
    std::vector<std::string> merged;
    for (char **entry = environ; *entry != nullptr; entry++) {
        std::string current = *entry;
        std::string name = current.substr(0, current.find('=') + 1);
        bool replaced = false;
        for (const std::string &addition : additions)
            replaced = replaced || addition.compare(0, name.size(), name) == 0;
        if (!replaced)
            merged.push_back(current);
    }
    merged.insert(merged.end(), additions.begin(), additions.end());
    return merged;
}

std::vector<char *> Pointers(std::vector<std::string> &strings)
{
    std::vector<char *> pointers;
    for (std::string &s : strings)
        pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

} // namespace

ProgramRun RunProgram(const std::vector<std::string> &args, const std::string &input,
                      const std::vector<std::string> &environment, std::chrono::milliseconds limit)
{
    ProgramRun run;
    int in = UnnamedFile(input);
    int out = UnnamedFile();
    if (in < 0 || out < 0) {
        ADD_FAILURE() << "no temporary files";
        return run;
    }
    std::vector<std::string> argStrings = args;
    std::vector<std::string> envStrings = MergedEnvironment(environment);
    std::vector<char *> argv = Pointers(argStrings);
    std::vector<char *> envp = Pointers(envStrings);

    pid_t pid = fork();
    if (pid == 0) {
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            run.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!run.timedOut && WIFEXITED(status))
        run.exitStatus = WEXITSTATUS(status);
    run.output = ReadFrom(out);
    close(in);
    close(out);
    return run;
}

} // namespace rig
