// The exit statuses of kyt_sandbox.  Apart from these it exits with
// COMMAND's status (128 + N when COMMAND was killed by signal N), or, ended
// by SIGINT, SIGTERM, SIGHUP or SIGQUIT itself, by that same signal once it
// has cleaned up.
#pragma once

namespace kytsandbox {

// The simulated reader (kyt_sim) ended while the sandbox ran.
constexpr int kExitSimEnded = 122;
// The private pcscd ended while the sandbox ran.
constexpr int kExitPcscdEnded = 123;
// kyt_sandbox itself could not do its work: a wrong command line, a part
// missing, no user namespaces, a part that did not become ready.
constexpr int kExitSandboxFailed = 125;
// COMMAND was found but could not be run, or was not found: the statuses
// a shell gives.
constexpr int kExitCannotRun = 126;
constexpr int kExitNotFound = 127;

} // namespace kytsandbox
