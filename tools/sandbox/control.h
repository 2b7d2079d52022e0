// The control socket, through which COMMAND drives the simulated readers.
//
// A client connects to the Unix socket KYT_SANDBOX_CONTROL names and writes
// command lines; each gets one answer line, kyt_sim's own ("ok: ..." or
// "error: ..."):
//
//   remove 0\n            ->  ok: ...        to reader 0
//   reader 1 status\n     ->  ok: ...        to reader 1
//
// Answers come in the order of the lines, reader by reader.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <poll.h>

namespace kytsandbox {

class ControlServer {
public:
    // Sends a line to a reader's console; false when it cannot take it.
    using ToReader = std::function<bool(unsigned reader, const std::string &line)>;

    ControlServer(unsigned readers, ToReader toReader);
    ~ControlServer();

    bool Listen(const std::string &path, std::string *error);

    // The descriptors to wait on, and what to do when one is ready.
    void AddPollFds(std::vector<pollfd> *fds) const;
    void Handle(const pollfd &ready);

    // A reader's answer to the oldest line still waiting for it.
    void Answer(unsigned reader, const std::string &line);

private:
    struct Client {
        int fd;
        std::string input;
    };

    void Accept();
    void Read(unsigned long id);
    void Run(unsigned long id, const std::string &line);
    void Send(unsigned long id, const std::string &line);
    void Drop(unsigned long id);

    unsigned readers_;
    ToReader toReader_;
    int listenFd_ = -1;
    unsigned long nextId_ = 1;
    std::map<unsigned long, Client> clients_;
    std::vector<std::deque<unsigned long>> waiting_; // per reader, client ids
};

// kyt_sandbox --control: sends `line` to the sandbox that KYT_SANDBOX_CONTROL
// names and prints the answer.  0 for "ok", 1 for "error", 125 when there is
// no sandbox to ask.
int RunControlClient(const std::string &line);

} // namespace kytsandbox
