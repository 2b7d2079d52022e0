#include "private_run.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kytsandbox {

namespace {

const char kEnableUserNamespaces[] =
    ". User namespaces are off for ordinary users here. Enable them as root with "
    "\"sysctl -w user.max_user_namespaces=15000\", on Debian 10 and older also "
    "\"sysctl -w kernel.unprivileged_userns_clone=1\", on Ubuntu 23.10 and later "
    "\"sysctl -w kernel.apparmor_restrict_unprivileged_userns=0\"; in a container, "
    "allow unshare(2) (for example docker run --security-opt seccomp=unconfined); "
    "or run kyt_sandbox as root";

std::string Failed(const std::string &what)
{
    return what + ": " + std::strerror(errno);
}

bool WriteFile(const char *path, const std::string &text)
{
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

// The user outside becomes root inside, with its group; the other groups
// must be given up first (setgroups), as the kernel demands.
std::string EnterUserNamespace(uid_t uid, gid_t gid)
{
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
        return Failed("unshare") + kEnableUserNamespaces;
    if (!WriteFile("/proc/self/setgroups", "deny") ||
        !WriteFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
        !WriteFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
        return Failed("mapping the user into its namespace") + kEnableUserNamespaces;
    return "";
}

bool Below(const std::string &path, const std::string &folder)
{
    return !folder.empty() && path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
           path[folder.size()] == '/';
}

// Creates the folders of `path` below `top` and an empty file to bind on.
bool MakeMountPoint(const std::string &path, const std::string &top)
{
    for (size_t at = path.find('/', top.size() + 1); at != std::string::npos; at = path.find('/', at + 1)) {
        if (mkdir(path.substr(0, at).c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

// An empty tmpfs over the USB drivers, the KYT driver bound back in place
// when it is one of them (held open across the mount that hides it).
std::string HideUsbDrivers(const PrivateRun &run)
{
    struct stat info;
    if (run.usbDrivers.empty() || stat(run.usbDrivers.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return "";
    int handler = -1;
    if (Below(run.handler, run.usbDrivers) && (handler = open(run.handler.c_str(), O_PATH | O_CLOEXEC)) < 0)
        return Failed(run.handler);
    std::string error;
    if (mount("tmpfs", run.usbDrivers.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
        error = Failed("mounting a tmpfs on " + run.usbDrivers);
    } else if (handler >= 0) {
        std::string held = "/proc/self/fd/" + std::to_string(handler);
        if (!MakeMountPoint(run.handler, run.usbDrivers) ||
            mount(held.c_str(), run.handler.c_str(), nullptr, MS_BIND, nullptr) != 0)
            error = Failed("binding " + run.handler);
    }
    if (handler >= 0)
        close(handler);
    return error;
}

} // namespace

std::string EnterPrivateRun(const PrivateRun &run)
{
    bool asUser = geteuid() != 0;
    if (asUser) {
        std::string error = EnterUserNamespace(run.uid, run.gid);
        if (!error.empty())
            return error;
    } else if (unshare(CLONE_NEWNS) != 0) {
        return Failed("unshare");
    }
    // Nothing mounted here may reach the system's mount namespace.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return Failed("making the mounts private");
    if (mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0)
        return Failed("mounting a tmpfs on /run") + (asUser ? kEnableUserNamespaces : "");
    if (mkdir("/run/pcscd", 0755) != 0)
        return Failed("mkdir /run/pcscd");
    if (mount(run.ipcFolder.c_str(), "/run/pcscd", nullptr, MS_BIND, nullptr) != 0)
        return Failed("binding " + run.ipcFolder + " on /run/pcscd");
    return HideUsbDrivers(run);
}

} // namespace kytsandbox
