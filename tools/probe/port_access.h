// A port looked at before anything is sent on it: whether it is there and
// is a terminal, whether this user may open it, and whether another program
// holds it.  The look sends nothing: it opens the port for reading only and
// tries the same advisory lock that libkyt takes.
#ifndef KYT_PROBE_PORT_ACCESS_H
#define KYT_PROBE_PORT_ACCESS_H

#include <sys/types.h>
#include <termios.h>

#include <string>

namespace probe {

enum class PortState {
    Free,     // a terminal that nobody holds: the reader may be asked
    Missing,  // no such file, or a device node with no device behind it
    NotAPort, // a folder, a file, a FIFO or a device that is no terminal
    Denied,   // this user may not open it
    InUse,    // another program holds its lock or its exclusive flag
    Failed,   // open(2) failed otherwise
};

// Holds the port open for reading, without its lock, from the look until
// the destructor, which puts the line settings back as they were found: the
// library leaves the port at the speed the reader answered at.
class PortWatch {
public:
    explicit PortWatch(const std::string &path);
    ~PortWatch();
    PortWatch(const PortWatch &) = delete;
    PortWatch &operator=(const PortWatch &) = delete;

    PortState State() const { return state_; }
    int Error() const { return error_; }              // errno behind every state but Free and InUse
    dev_t Device() const { return device_; }          // 0 when the path is no device node
    const std::string &What() const { return what_; } // "a folder", "a FIFO", ... for NotAPort
    // True when the line has hung up since the look (a USB adapter pulled).
    bool HungUp() const;

private:
    void Look(const std::string &path);
    void LookAtOpenPort();

    PortState state_ = PortState::Failed;
    int error_ = 0;
    dev_t device_ = 0;
    std::string what_;
    int fd_ = -1;
    termios saved_{};
    bool haveSaved_ = false;
};

// The programs that hold the port, as "pcscd (pid 812)", joined by ", ":
// the holders of its lock, from the kernel's table of locks, or else (a
// program that set only the exclusive flag) the programs that have the
// device open, as far as this user may see them.  Empty when none is seen.
std::string HoldersOf(const std::string &path, dev_t device);

// The group that owns the port and the permission bits, as
// "group dialout, mode crw-rw----"; empty when stat fails.
std::string OwnershipOf(const std::string &path);

} // namespace probe

#endif
