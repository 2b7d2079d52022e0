#include "spawn.h"

#include <cerrno>
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kytsandbox {

namespace {

// What a child sends back when it cannot exec: its errno, then a text.
struct ChildFailure {
    int error;
    char message[1024];
};

// Writes without allocating: the parent may have threads (pcsc-lite's).
[[noreturn]] void ChildFail(int pipeFd, int error, const char *what, const char *why)
{
    ChildFailure failure{};
    failure.error = error;
    std::snprintf(failure.message, sizeof failure.message, "%s%s%s", what, *why ? ": " : "", why);
    ssize_t ignored = write(pipeFd, &failure, sizeof failure);
    (void)ignored;
    _exit(127);
}

// In the child: the signal mask and the ignored signals of kyt_sandbox are
// not the program's to inherit.
void ResetSignals()
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    std::signal(SIGPIPE, SIG_DFL);
}

void MoveTo(int from, int to)
{
    if (from >= 0 && from != to)
        dup2(from, to);
}

[[noreturn]] void RunChild(const Launch &launch, std::vector<char *> &argv, pid_t parent, int pipeFd)
{
    ResetSignals();
    if (launch.part) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) // kyt_sandbox died before the line above
            _exit(127);
    }
    MoveTo(launch.in, STDIN_FILENO);
    MoveTo(launch.out, STDOUT_FILENO);
    MoveTo(launch.err, STDERR_FILENO);
    if (launch.prepare) {
        std::string message = launch.prepare();
        if (!message.empty())
            ChildFail(pipeFd, 0, message.c_str(), "");
        if (launch.part) // entering a namespace may have cleared it
            prctl(PR_SET_PDEATHSIG, SIGKILL);
    }
    execvp(argv[0], argv.data());
    int error = errno;
    ChildFail(pipeFd, error, argv[0], std::strerror(error));
}

// execvp says EACCES when a folder of PATH cannot be searched, even when
// the program is nowhere: for that, a shell says "not found".
bool OnPath(const std::string &program)
{
    if (program.find('/') != std::string::npos)
        return true;
    const char *variable = std::getenv("PATH");
    std::string path = variable ? variable : "";
    for (size_t start = 0; start <= path.size();) {
        size_t end = std::min(path.find(':', start), path.size());
        std::string folder = end > start ? path.substr(start, end - start) : ".";
        if (access((folder + "/" + program).c_str(), F_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

} // namespace

pid_t Spawn(const Launch &launch, std::string *error, bool *notFound)
{
    std::vector<char *> argv;
    for (const std::string &word : launch.argv)
        argv.push_back(const_cast<char *>(word.c_str()));
    argv.push_back(nullptr);

    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return -1;
    }
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        close(report[0]);
        RunChild(launch, argv, parent, report[1]);
    }
    close(report[1]);
    if (pid < 0) {
        *error = std::string("fork: ") + std::strerror(errno);
        close(report[0]);
        return -1;
    }
    ChildFailure failure{};
    ssize_t n;
    do
        n = read(report[0], &failure, sizeof failure);
    while (n < 0 && errno == EINTR);
    close(report[0]);
    if (n <= 0)
        return pid; // the exec closed the pipe
    waitpid(pid, nullptr, 0);
    failure.message[sizeof failure.message - 1] = '\0';
    *error = failure.message;
    if (notFound)
        *notFound = failure.error == ENOENT || (failure.error == EACCES && !OnPath(launch.argv[0]));
    return -1;
}

std::string DescribeStatus(int status)
{
    if (WIFEXITED(status))
        return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "killed by signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
    return "status " + std::to_string(status);
}

int ShellStatus(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return 1;
}

} // namespace kytsandbox
