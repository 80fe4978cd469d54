// Plain HTTP from the tests: requests through the real curl program, and raw loopback
// sockets for what curl will not send (oversized and unfinished requests). Every wait bounded.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace servers {

struct HttpReply {
    int status = 0;  // 0: no answer
    std::string body;
};

// GET through curl; `extra` are more curl arguments, already quoted for the shell.
inline HttpReply CurlGet(const std::string& url, const std::string& scratchFile, const std::string& extra = "") {
    const std::string command =
        "curl -s -g --max-time 10 " + extra + " -o '" + scratchFile + "' -w '%{http_code}' '" + url + "' 2>/dev/null";
    HttpReply reply;
    std::remove(scratchFile.c_str());
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char code[16] = {};
        if (std::fgets(code, sizeof code, pipe)) reply.status = std::atoi(code);
        pclose(pipe);
    }
    std::ifstream in(scratchFile, std::ios::binary);
    reply.body.assign(std::istreambuf_iterator<char>(in), {});
    return reply;
}

// A connected loopback socket, closed by the destructor.
class RawConnection {
public:
    explicit RawConnection(int port) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~RawConnection() {
        if (fd_ >= 0) close(fd_);
    }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool connected() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // Sends what it can of `bytes`; false once the peer closed.
    bool Send(const std::string& bytes) {
        size_t sent = 0;
        while (fd_ >= 0 && sent < bytes.size()) {
            const ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<size_t>(n);
        }
        return fd_ >= 0;
    }
    // What arrives within `ms` milliseconds, until the peer closes or nothing more comes.
    std::string Receive(int ms) {
        std::string got;
        char buffer[4096];
        pollfd p{fd_, POLLIN, 0};
        while (fd_ >= 0 && poll(&p, 1, ms) > 0) {
            const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    }
    // Everything until the server closes, at most `limit`; `closed` says whether it did.
    std::string ReadUntilClosed(std::chrono::seconds limit, bool* closed = nullptr) {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        char buffer[16384];
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                if (closed) *closed = true;
                return got;
            }
            got.append(buffer, static_cast<size_t>(n));
        }
        if (closed) *closed = false;
        return got;
    }
    // One response's status (its head and a body of Content-Length), within `limit`; 0 for none.
    int ReadStatus(std::chrono::seconds limit) {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        char buffer[16384];
        while (std::chrono::steady_clock::now() < deadline) {
            const size_t end = got.find("\r\n\r\n");
            if (end != std::string::npos) {
                const size_t length = got.find("Content-Length: ");
                const size_t body = length == std::string::npos ? 0 : std::stoul(got.substr(length + 16));
                if (got.size() >= end + 4 + body) break;
            }
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            got.append(buffer, static_cast<size_t>(n));
        }
        return got.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(got.c_str() + 9) : 0;
    }

private:
    int fd_;
};

}  // namespace servers
