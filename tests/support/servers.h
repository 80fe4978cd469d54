// Real servers for the tests (a stream server, an MQTT broker, a subscriber): started on a
// free loopback port, every wait bounded, stopped by the destructor whatever happens.
#pragma once

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace servers {

// A loopback port nobody listens on now.
inline int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

// Polls `condition` until it holds (true) or `limit` passed (false).
template <typename F>
bool Within(std::chrono::seconds limit, F condition, std::chrono::milliseconds poll = std::chrono::milliseconds(50)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(poll);
    }
    return true;
}

// True once something listens on the loopback port, within `limit`. Read from the kernel's
// socket table rather than by connecting: a server that takes one client (ffmpeg's listen
// mode) would take the probe for it.
inline bool WaitForPort(int port, std::chrono::milliseconds limit) {
    char wanted[16];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream table("/proc/net/tcp");
        std::string line;
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, wanted) == 0) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// A loopback server that takes connections and never answers: a camera that hangs in open.
// The kernel completes the handshakes from the listen backlog; nothing is ever read or sent.
class SilentServer {
public:
    SilentServer() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd_, 16) != 0) {
            return;
        }
        socklen_t length = sizeof address;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~SilentServer() {
        if (fd_ >= 0) close(fd_);
    }
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;
    int port() const { return port_; }  // 0 when it could not listen

private:
    int fd_ = -1;
    int port_ = 0;
};

// A child process; its standard output and error go to `log`.
class Process {
public:
    Process(const std::vector<std::string>& argv, const std::string& log) {
        const pid_t parent = getpid();
        pid_ = fork();
        if (pid_ == 0) {
            // A test process that dies (a crash, a kill from outside) takes its servers
            // with it; the destructor stops them on every other way out.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(125);
            if (!freopen(log.c_str(), "w", stdout) || !freopen(log.c_str(), "a", stderr)) _exit(126);
            std::vector<char*> args;
            for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
    }
    ~Process() { Stop(); }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    bool running() {
        if (pid_ <= 0) return false;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == 0) return true;
        exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        pid_ = -1;
        return false;
    }
    // Sends `signal` and waits at most `limit`; then kills. Returns the exit status, -1
    // when killed or signalled.
    int Stop(int signal = SIGTERM, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        if (pid_ <= 0) return exitStatus_;
        kill(pid_, signal);
        return Wait(limit);
    }
    // Waits at most `limit` for the process to end by itself; kills it after that.
    int Wait(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (running()) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                pid_ = -1;
                return exitStatus_ = -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return exitStatus_;
    }

private:
    pid_t pid_ = -1;
    int exitStatus_ = -1;
};

}  // namespace servers
