// Starting and stopping the sandbox's processes.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace kytsandbox {

struct Launch {
    std::vector<std::string> argv;
    // Descriptors that become the child's standard ones (-1: kept).
    int in = -1;
    int out = -1;
    int err = -1;
    // A part of the sandbox gets a process group of its own, so that a ^C on
    // the terminal reaches COMMAND and kyt_sandbox, not the parts, and dies
    // with kyt_sandbox even when kyt_sandbox is killed.
    bool part = false;
    // Runs in the child just before exec; returns an error message, or an
    // empty one.
    std::function<std::string()> prepare;
};

// Forks and execs; the pid, or -1 with `error` set (the child's own
// message when the exec or `prepare` failed: it is passed back through a
// pipe closed by the exec).  `notFound` is set when the program does not
// exist.
pid_t Spawn(const Launch &launch, std::string *error, bool *notFound = nullptr);

// The status of a process that ended, in words ("exit status 1", "killed by
// signal 9 (Killed)").
std::string DescribeStatus(int status);

// The status a shell would give for it: the exit status, or 128 + signal.
int ShellStatus(int status);

} // namespace kytsandbox
