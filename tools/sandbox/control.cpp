#include "control.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "exit_status.h"

namespace kytsandbox {

namespace {

// kyt_sim takes lines of up to 1023 bytes; the reader prefix adds a few.
constexpr size_t kMaxLine = 1100;
constexpr size_t kMaxClients = 16;
// A client that asks waits this long for the answer: longer than any
// console command takes, short enough that a broken sandbox is noticed.
constexpr int kAnswerWaitMs = 10000;

bool Address(const std::string &path, sockaddr_un *address)
{
    *address = {};
    address->sun_family = AF_UNIX;
    if (path.size() >= sizeof address->sun_path)
        return false;
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// "reader K LINE" picks reader K; any other line is for reader 0.
unsigned SplitReader(const std::string &line, std::string *rest)
{
    std::istringstream in(line);
    std::string word;
    unsigned reader = 0;
    if (in >> word && word == "reader" && in >> reader) {
        std::getline(in, *rest);
        return reader;
    }
    *rest = line;
    return 0;
}

} // namespace

ControlServer::ControlServer(unsigned readers, ToReader toReader)
    : readers_(readers), toReader_(std::move(toReader)), waiting_(readers)
{
}

ControlServer::~ControlServer()
{
    for (auto &[id, client] : clients_)
        close(client.fd);
    if (listenFd_ >= 0)
        close(listenFd_);
}

bool ControlServer::Listen(const std::string &path, std::string *error)
{
    sockaddr_un address;
    if (!Address(path, &address)) {
        *error = "the control socket's path is too long: " + path;
        return false;
    }
    listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(listenFd_, 8) != 0) {
        *error = "the control socket " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void ControlServer::AddPollFds(std::vector<pollfd> *fds) const
{
    if (listenFd_ >= 0)
        fds->push_back({listenFd_, POLLIN, 0});
    for (const auto &[id, client] : clients_)
        fds->push_back({client.fd, POLLIN, 0});
}

void ControlServer::Handle(const pollfd &ready)
{
    if (ready.fd == listenFd_) {
        Accept();
        return;
    }
    for (auto &[id, client] : clients_) {
        if (client.fd == ready.fd) {
            Read(id);
            return;
        }
    }
}

void ControlServer::Accept()
{
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return;
    if (clients_.size() >= kMaxClients) {
        close(fd);
        return;
    }
    clients_[nextId_++] = Client{fd, ""};
}

// Takes what the client wrote; each whole line is run.  A client that
// closes, fails or writes an over-long line is let go.
void ControlServer::Read(unsigned long id)
{
    Client &client = clients_[id];
    char buffer[512];
    ssize_t n = recv(client.fd, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n <= 0) {
        Drop(id);
        return;
    }
    client.input.append(buffer, static_cast<size_t>(n));
    size_t end;
    while (clients_.count(id) && (end = clients_[id].input.find('\n')) != std::string::npos) {
        std::string line = clients_[id].input.substr(0, end);
        clients_[id].input.erase(0, end + 1);
        Run(id, line);
    }
    if (clients_.count(id) && clients_[id].input.size() > kMaxLine) {
        Send(id, "error: a command line has at most " + std::to_string(kMaxLine) + " bytes");
        Drop(id);
    }
}

void ControlServer::Run(unsigned long id, const std::string &line)
{
    std::string rest;
    unsigned reader = SplitReader(line, &rest);
    if (reader >= readers_) {
        Send(id, "error: the sandbox has readers 0 to " + std::to_string(readers_ - 1));
        return;
    }
    if (rest.find_first_not_of(" \t\r") == std::string::npos) {
        Send(id, "error: an empty command line");
        return;
    }
    if (!toReader_(reader, rest + "\n")) {
        Send(id, "error: reader " + std::to_string(reader) + " takes no commands");
        return;
    }
    waiting_[reader].push_back(id);
}

void ControlServer::Answer(unsigned reader, const std::string &line)
{
    if (reader >= readers_ || waiting_[reader].empty())
        return;
    unsigned long id = waiting_[reader].front();
    waiting_[reader].pop_front();
    Send(id, line);
}

// Answers are short; a client that does not read them is let go.
void ControlServer::Send(unsigned long id, const std::string &line)
{
    auto client = clients_.find(id);
    if (client == clients_.end())
        return;
    std::string text = line + "\n";
    if (send(client->second.fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT) !=
        static_cast<ssize_t>(text.size()))
        Drop(id);
}

// Its answers still to come are dropped as they arrive.
void ControlServer::Drop(unsigned long id)
{
    auto client = clients_.find(id);
    if (client == clients_.end())
        return;
    close(client->second.fd);
    clients_.erase(client);
}

int RunControlClient(const std::string &line)
{
    const char *path = std::getenv("KYT_SANDBOX_CONTROL");
    sockaddr_un address;
    if (!path || !*path) {
        std::fprintf(stderr, "kyt_sandbox: --control works inside a sandbox: KYT_SANDBOX_CONTROL is not set\n");
        return kExitSandboxFailed;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (!Address(path, &address) || fd < 0 ||
        connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "kyt_sandbox: no sandbox at %s: %s\n", path, std::strerror(errno));
        if (fd >= 0)
            close(fd);
        return kExitSandboxFailed;
    }
    std::string text = line + "\n";
    std::string answer;
    bool sent = send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
    while (sent && answer.find('\n') == std::string::npos && answer.size() < kMaxLine) {
        pollfd wait = {fd, POLLIN, 0};
        char buffer[512];
        ssize_t n = poll(&wait, 1, kAnswerWaitMs) == 1 ? recv(fd, buffer, sizeof buffer, 0) : -1;
        if (n <= 0)
            break;
        answer.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    if (answer.find('\n') == std::string::npos) {
        std::fprintf(stderr, "kyt_sandbox: the sandbox at %s gave no answer\n", path);
        return kExitSandboxFailed;
    }
    answer.resize(answer.find('\n'));
    std::printf("%s\n", answer.c_str());
    return answer.rfind("ok", 0) == 0 ? 0 : 1;
}

} // namespace kytsandbox
