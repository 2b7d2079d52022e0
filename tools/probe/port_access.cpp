#include "port_access.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace probe {

namespace {

// At most this many holders are named; one is nearly always the answer.
constexpr size_t kMostHolders = 4;

const char *KindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISREG(mode))
        return "a regular file";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISBLK(mode))
        return "a block device";
    return "no device";
}

PortState StateOfOpenError(int error)
{
    switch (error) {
    case EBUSY: // another ordinary user's program set the exclusive flag
        return PortState::InUse;
    case EACCES:
    case EPERM:
        return PortState::Denied;
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case EIO: // a ttyS node of the kernel's with no UART behind it
        return PortState::Missing;
    default:
        return PortState::Failed;
    }
}

bool IsNumber(const char *name)
{
    if (*name == '\0')
        return false;
    for (const char *c = name; *c != '\0'; c++) {
        if (*c < '0' || *c > '9')
            return false;
    }
    return true;
}

// True when process `pid` has a descriptor on the device.
bool HasOpen(const std::string &pid, dev_t device)
{
    const std::string fdFolder = "/proc/" + pid + "/fd";
    DIR *fds = opendir(fdFolder.c_str());
    if (fds == nullptr)
        return false; // gone, or another user's process
    bool found = false;
    while (!found) {
        const dirent *entry = readdir(fds);
        if (entry == nullptr)
            break;
        struct stat target {};
        found = IsNumber(entry->d_name) && stat((fdFolder + "/" + entry->d_name).c_str(), &target) == 0 &&
                S_ISCHR(target.st_mode) && target.st_rdev == device;
    }
    closedir(fds);
    return found;
}

std::string CommandOf(const std::string &pid)
{
    std::ifstream file("/proc/" + pid + "/comm");
    std::string name;
    std::getline(file, name);
    return name.empty() ? "a program" : name;
}

// The pids that hold a flock() lock on the file at `path`.  The kernel's
// table names each lock's file by the device and inode of the node it was
// taken on:
//
//   1: FLOCK  ADVISORY  WRITE 812 00:05:3 0 EOF
//      kind             mode  pid maj:min:inode (major and minor in hex)
std::vector<std::string> LockHolders(const std::string &path)
{
    std::vector<std::string> pids;
    struct stat node {};
    if (stat(path.c_str(), &node) != 0)
        return pids;
    char file[64];
    std::snprintf(file, sizeof file, "%02x:%02x:%lu", major(node.st_dev), minor(node.st_dev),
                  static_cast<unsigned long>(node.st_ino));
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line) && pids.size() < kMostHolders;) {
        std::istringstream fields(line);
        std::string number, kind, advisory, mode, pid, where;
        if ((fields >> number >> kind >> advisory >> mode >> pid >> where) && kind == "FLOCK" && where == file)
            pids.push_back(pid);
    }
    return pids;
}

// The pids of the programs that have the device open.
std::vector<std::string> OpenersOf(dev_t device)
{
    std::vector<std::string> pids;
    DIR *processes = opendir("/proc");
    if (processes == nullptr)
        return pids;
    const std::string self = std::to_string(getpid());
    while (pids.size() < kMostHolders) {
        const dirent *entry = readdir(processes);
        if (entry == nullptr)
            break;
        if (IsNumber(entry->d_name) && entry->d_name != self && HasOpen(entry->d_name, device))
            pids.emplace_back(entry->d_name);
    }
    closedir(processes);
    return pids;
}

std::string ModeText(mode_t mode)
{
    std::string text = S_ISCHR(mode) ? "c" : "-";
    const char letters[] = "rwx";
    for (int bit = 8; bit >= 0; bit--)
        text += (mode & (1u << bit)) != 0 ? letters[(8 - bit) % 3] : '-';
    return text;
}

} // namespace

PortWatch::PortWatch(const std::string &path)
{
    Look(path);
    if (state_ != PortState::Free && fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

PortWatch::~PortWatch()
{
    if (fd_ < 0)
        return;
    if (haveSaved_)
        tcsetattr(fd_, TCSANOW, &saved_);
    close(fd_);
}

bool PortWatch::HungUp() const
{
    if (fd_ < 0)
        return false;
    pollfd line = {fd_, POLLIN, 0};
    return poll(&line, 1, 0) == 1 && (line.revents & (POLLHUP | POLLERR)) != 0;
}

void PortWatch::Look(const std::string &path)
{
    struct stat node {};
    if (stat(path.c_str(), &node) != 0) {
        error_ = errno;
        state_ = error_ == EACCES                        ? PortState::Denied
                 : error_ == ENOENT || error_ == ENOTDIR ? PortState::Missing
                                                         : PortState::Failed;
        return;
    }
    if (!S_ISCHR(node.st_mode)) {
        error_ = S_ISDIR(node.st_mode) ? EISDIR : ENOTTY;
        what_ = KindOf(node.st_mode);
        state_ = PortState::NotAPort;
        return;
    }
    device_ = node.st_rdev;
    // Read-only and non-blocking: no write permission is asked for, and the
    // open does not wait for a modem's carrier.
    fd_ = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) {
        error_ = errno;
        state_ = StateOfOpenError(error_);
        return;
    }
    LookAtOpenPort();
}

void PortWatch::LookAtOpenPort()
{
    if (!isatty(fd_)) {
        error_ = ENOTTY;
        what_ = "a device that is no terminal";
        state_ = PortState::NotAPort;
        return;
    }
    // Root passes another program's exclusive flag; it still means the port
    // is taken.
    int exclusive = 0;
    if (ioctl(fd_, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
        state_ = PortState::InUse;
        return;
    }
    // The lock libkyt takes, tried and given back at once.
    if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            state_ = PortState::InUse;
            return;
        }
    } else {
        flock(fd_, LOCK_UN);
    }
    haveSaved_ = tcgetattr(fd_, &saved_) == 0;
    state_ = PortState::Free;
}

std::string HoldersOf(const std::string &path, dev_t device)
{
    std::vector<std::string> pids = LockHolders(path);
    if (pids.empty())
        pids = OpenersOf(device);
    std::string holders;
    for (const std::string &pid : pids)
        holders += (holders.empty() ? "" : ", ") + CommandOf(pid) + " (pid " + pid + ")";
    return holders;
}

std::string OwnershipOf(const std::string &path)
{
    struct stat node {};
    if (stat(path.c_str(), &node) != 0)
        return "";
    std::vector<char> buffer(16384);
    group entry{};
    group *found = nullptr;
    std::string name = std::to_string(node.st_gid);
    if (getgrgid_r(node.st_gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
        name = found->gr_name;
    return "group " + name + ", mode " + ModeText(node.st_mode);
}

} // namespace probe
