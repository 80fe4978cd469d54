#include "web/request_gate.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include <httplib.h>

#include "web/tls_context.h"

namespace weapon_detect {
namespace {

using Clock = std::chrono::steady_clock;

// A refused connection is read and its bytes dropped for this long, or this much, before it is
// closed: closing with unread bytes would reset it, and the client might never see the answer.
constexpr auto kLinger = std::chrono::seconds(1);
constexpr size_t kLingerBytes = 64 * 1024;

thread_local bool tInStream = false;

// A stream's socket buffers this much at most (the system doubles it): a client that stops
// reading fills it soon and meets the stall bound, and many streams hold little memory.
constexpr int kStreamSendBuffer = 256 * 1024;

int MillisUntil(Clock::time_point t) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(ms + 1, 0, 60'000));
}

// Waits for `events` on `fd` until `deadline`; true when something happened (the next read or
// write says what: data, the end, an error).
bool WaitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int n = poll(&p, 1, MillisUntil(deadline));
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return false;
        if (n == 0 && Clock::now() >= deadline) return false;
    }
}

std::string Reason(int error) {
    if (error == EADDRINUSE) return "address already in use (is another program serving there?)";
    return std::strerror(error);
}

void NumericAddress(const sockaddr_storage& address, socklen_t length, std::string& ip, int& port) {
    char host[NI_MAXHOST] = {}, service[NI_MAXSERV] = {};
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host, sizeof host, service, sizeof service,
                    NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
        ip = host;
        port = std::atoi(service);
    }
}

enum class Head { Unfinished, Whole, TooLarge, LineTooLong, HasBody, TooManyRanges };

// More ranges than this in one request are refused: each would be a part of the answer, and
// "0-" listed many times would send the whole file as many times.
constexpr size_t kMaxRanges = 8;

bool SameName(const std::string& line, size_t nameLength, const char* name) {
    const size_t length = std::strlen(name);
    if (nameLength != length) return false;
    for (size_t i = 0; i < length; ++i) {
        if (std::tolower(static_cast<unsigned char>(line[i])) != name[i]) return false;
    }
    return true;
}

// What the whole head's fields ask for that the page never serves: a body (its length not
// zero, or sent in chunks), or too many byte ranges.
Head CheckFields(const std::string& head) {
    size_t start = head.find('\n') + 1;  // past the request line
    for (size_t end; (end = head.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = head.substr(start, end - start);
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::string value = line.substr(colon + 1);
        if (SameName(line, colon, "transfer-encoding")) return Head::HasBody;
        if (SameName(line, colon, "content-length") && value.find_first_not_of("0 \t\r") != std::string::npos) {
            return Head::HasBody;
        }
        if (SameName(line, colon, "range") &&
            static_cast<size_t>(std::count(value.begin(), value.end(), ',')) + 1 > kMaxRanges) {
            return Head::TooManyRanges;
        }
    }
    return Head::Whole;
}

// The one request body the page takes: POST /login's form, at most kMaxFormBody bytes of
// application/x-www-form-urlencoded announced by a Content-Length (never chunked), read
// within the head's time bound. For a whole head at `bytes`' start (`end` its length) that
// announces a body: Whole with `body` its length once all of it is buffered; Unfinished
// (`expect` set to the head's and body's length) while it comes; HasBody (refused) for any
// other body.
constexpr size_t kMaxFormBody = 4096;

Head FormBody(const std::string& bytes, size_t end, size_t& body, size_t& expect) {
    const std::string head = bytes.substr(0, end);
    const size_t lineEnd = head.find_first_of("\r\n");
    if (head.substr(0, lineEnd).rfind("POST ", 0) != 0) return Head::HasBody;
    const std::string target = head.substr(5, head.find(' ', 5) - 5);
    if (target.substr(0, target.find('?')) != "/login") return Head::HasBody;
    int lengths = 0, forms = 0;
    body = 0;
    size_t start = head.find('\n') + 1;
    for (size_t lf; (lf = head.find('\n', start)) != std::string::npos; start = lf + 1) {
        const std::string line = head.substr(start, lf - start);
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        value.erase(value.find_last_not_of(" \t\r") + 1);
        if (SameName(line, colon, "transfer-encoding")) return Head::HasBody;
        if (SameName(line, colon, "content-length")) {
            if (++lengths > 1 || value.empty() || value.size() > 5 ||
                value.find_first_not_of("0123456789") != std::string::npos) {
                return Head::HasBody;
            }
            body = std::stoul(value);
        }
        if (SameName(line, colon, "content-type")) {
            std::string type = value.substr(0, value.find(';'));
            type.erase(type.find_last_not_of(" \t") + 1);
            for (char& ch : type) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            forms += type == "application/x-www-form-urlencoded" ? 1 : 2;
        }
    }
    if (lengths != 1 || forms != 1 || body > kMaxFormBody) return Head::HasBody;
    if (bytes.size() < end + body) {
        expect = end + body;
        return Head::Unfinished;
    }
    return Head::Whole;
}

// Where a buffered request head stands against the bounds; `end` is set to the length of a
// whole head, its blank line included. Lines may end in CRLF or a bare LF. The buffer never
// holds more than headBytes + 1 bytes before this decides.
Head CheckHead(const std::string& bytes, const GateLimits& limits, size_t& end) {
    end = std::string::npos;
    size_t lines = 0, start = 0, firstLine = std::string::npos;
    for (size_t lf; (lf = bytes.find('\n', start)) != std::string::npos; start = lf + 1) {
        const size_t length = lf - start - (lf > start && bytes[lf - 1] == '\r' ? 1 : 0);
        if (firstLine == std::string::npos) firstLine = length;
        if (length == 0 && lines > 0) {
            end = lf + 1;
            break;
        }
        ++lines;
    }
    if (end == std::string::npos ? bytes.size() > limits.headBytes : end > limits.headBytes) {
        return firstLine == std::string::npos || firstLine + 4 > limits.headBytes ? Head::LineTooLong : Head::TooLarge;
    }
    // The request line is not a field.
    if (lines > limits.headerFields + 1) return Head::TooLarge;
    return end == std::string::npos ? Head::Unfinished : CheckFields(bytes.substr(0, end));
}

// The head's lines all ending in CRLF, as the HTTP library reads them.
std::string WithCrlf(const std::string& head) {
    std::string out;
    out.reserve(head.size() + 16);
    for (size_t i = 0; i < head.size(); ++i) {
        if (head[i] == '\n' && (i == 0 || head[i - 1] != '\r')) out += '\r';
        out += head[i];
    }
    return out;
}

// A short answer from the loop thread on a socket that has room for it; what does not fit is
// lost, and the connection is closed anyway.
void SendRefusal(int fd, const char* status, const std::string& text, const char* type = "text/plain") {
    const std::string answer = std::string("HTTP/1.1 ") + status + "\r\nContent-Type: " + type +
                               "\r\nContent-Length: " + std::to_string(text.size()) + "\r\nConnection: close\r\n\r\n" +
                               text;
    [[maybe_unused]] const ssize_t sent = send(fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

// A refusal on a connection: through its TLS session once it has one (best effort, as above);
// a TLS connection still in its handshake is closed without one.
void SendRefusal(int fd, TlsSession* tls, const char* status, const std::string& text,
                 const char* type = "text/plain") {
    if (!tls) return SendRefusal(fd, status, text, type);
    if (!tls->established()) return;
    const std::string answer = std::string("HTTP/1.1 ") + status + "\r\nContent-Type: " + type +
                               "\r\nContent-Length: " + std::to_string(text.size()) + "\r\nConnection: close\r\n\r\n" +
                               text;
    TlsSession::Want want;
    [[maybe_unused]] const ssize_t sent = tls->Write(answer.data(), answer.size(), want);
}

// The request line's target: its second word.
std::string Target(const std::string& head) {
    const size_t start = head.find(' ');
    if (start == std::string::npos) return {};
    const size_t end = head.find_first_of(" \r\n", start + 1);
    return head.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
}

// True when the peer closed its side or the socket failed.
bool PeerGone(int fd) {
    pollfd p{fd, POLLRDHUP, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL));
}

// One request's connection as the HTTP library reads and writes it: reads give the buffered
// head (with POST /login's form, FormBody) and then end, so nothing past it is ever read;
// writes go to the socket, within the answer's deadline. A stream's (`stopped` not null) has no whole-answer deadline,
// only the stall bound, and is no longer writable once `stopped` is set or the peer left.
class ConnectionStream final : public httplib::Stream {
public:
    ConnectionStream(int fd, TlsSession* tls, const std::string& buffered, size_t head, const GateLimits& limits,
                     const std::atomic<bool>* stopped = nullptr)
        : fd_(fd),
          tls_(tls),
          buffered_(buffered),
          head_(std::min(head, buffered.size())),
          limits_(limits),
          stopped_(stopped) {}

    bool is_readable() const override { return used_ < head_; }
    bool is_writable() const override {
        if (stopped_ && (*stopped_ || PeerGone(fd_))) return false;
        return WaitForRoom();
    }

    ssize_t read(char* ptr, size_t size) override {
        const size_t n = std::min(size, head_ - used_);
        std::memcpy(ptr, buffered_.data() + used_, n);
        used_ += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char* ptr, size_t size) override {
        size_t done = 0;
        while (done < size) {
            if (tls_) {
                if (!WriteTls(ptr, size, done)) return -1;
                continue;
            }
            const ssize_t n = send(fd_, ptr + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                done += static_cast<size_t>(n);
                sent_ += static_cast<size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && WaitForRoom()) {
                continue;
            } else {
                failed_ = true;
                return -1;
            }
        }
        return static_cast<ssize_t>(size);
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (getpeername(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            NumericAddress(address, length, ip, port);
        }
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            NumericAddress(address, length, ip, port);
        }
    }
    socket_t socket() const override { return fd_; }

    size_t used() const { return used_; }
    bool failed() const { return failed_; }

private:
    // A write waits at most writeStall for room, and the whole answer ends by its deadline:
    // writeStall plus the time its bytes so far take at minRate, at most answerTime.
    Clock::time_point WriteDeadline() const {
        using std::chrono::milliseconds;
        if (stopped_) return Clock::now() + limits_.writeStall;
        const milliseconds earned =
            limits_.minRate == 0
                ? limits_.answerTime
                : limits_.writeStall +
                      milliseconds(static_cast<long long>(static_cast<double>(sent_) * 1000 / limits_.minRate));
        return std::min(Clock::now() + limits_.writeStall, start_ + std::min(earned, limits_.answerTime));
    }

    // Waits for room (or, when TLS asks for it, the peer's bytes) within the write's bounds.
    bool WaitForRoom(short events = POLLOUT) const {
        const Clock::time_point deadline = WriteDeadline();
        return Clock::now() < deadline && WaitFor(fd_, events, deadline);
    }

    // One step of a write through TLS, under the same bounds as a plain one.
    bool WriteTls(const char* ptr, size_t size, size_t& done) {
        TlsSession::Want want;
        const ssize_t n = tls_->Write(ptr + done, size - done, want);
        if (n > 0) {
            done += static_cast<size_t>(n);
            sent_ += static_cast<size_t>(n);
            return true;
        }
        if ((want == TlsSession::Want::Write && WaitForRoom()) ||
            (want == TlsSession::Want::Read && WaitForRoom(POLLIN))) {
            return true;
        }
        failed_ = true;
        return false;
    }

    const int fd_;
    TlsSession* const tls_;
    const std::string& buffered_;
    const size_t head_;
    const GateLimits& limits_;
    const std::atomic<bool>* stopped_;
    const Clock::time_point start_ = Clock::now();
    size_t used_ = 0;
    size_t sent_ = 0;
    bool failed_ = false;
};

}  // namespace

int Listen(const addrinfo* addresses, const std::string& where) {
    int error = EADDRNOTAVAIL;
    for (const addrinfo* a = addresses; a; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            error = errno;
            continue;
        }
        // Allows a restart while the last run's connections linger; unlike port reuse, never a
        // second listener on the same address.
        const int yes = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (bind(fd, a->ai_addr, a->ai_addrlen) == 0 && listen(fd, 128) == 0) return fd;
        error = errno;
        close(fd);
        // Another program serves one of the name's addresses: taking the next one would share
        // the page's name with it.
        if (error == EADDRINUSE) break;
    }
    throw std::runtime_error("cannot serve the page on " + where + ": " + Reason(error));
}

struct RequestGate::Connection {
    explicit Connection(int socket) : fd(socket) {}
    ~Connection() { close(fd); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void Wait(const GateLimits& limits) {
        since = Clock::now();
        deadline = since + limits.requestTime;
    }

    // Like recv on the non-blocking socket; through TLS, the handshake first (within the same
    // deadline as the head), and `events` says what the session waits for.
    ssize_t Receive(char* data, size_t size) {
        if (!tls) return recv(fd, data, size, 0);
        TlsSession::Want want = tls->Handshake();
        if (want == TlsSession::Want::Nothing) {
            const ssize_t n = tls->Read(data, size, want);
            if (n >= 0) {
                events = POLLIN;
                return n;
            }
        }
        if (want == TlsSession::Want::Failed) {
            errno = ECONNRESET;
            return -1;
        }
        events = want == TlsSession::Want::Write ? POLLOUT : POLLIN;
        errno = EAGAIN;
        return -1;
    }
    // Bytes a read gets without the socket being ready (TLS buffers whole records).
    bool Pending() const { return tls && tls->pending(); }
    // Ends the sending side: the TLS close alert first, if it fits at once.
    void CloseWrite() {
        if (tls) tls->Close();
        shutdown(fd, SHUT_WR);
    }

    const int fd;
    std::unique_ptr<TlsSession> tls;  // null for plain HTTP
    short events = POLLIN;            // what the loop polls it for
    std::string buffer;               // read and not yet handled: a head, or the start of the next one
    size_t head = 0;                  // a whole head's length at the buffer's start, once handed on
    Clock::time_point queued;         // handed to the workers at
    Clock::time_point since;          // waiting for a request since
    Clock::time_point deadline;       // the whole head by then (a refused connection: closed by then)
    size_t dropped = 0;               // a refused connection's bytes read since
    size_t served = 0;                // requests handled on it
    size_t expect = 0;                // the head and form body being read (FormBody), 0 for a head alone
};

RequestGate::RequestGate(const std::string& host, int port, GateLimits limits, Handler handler, IsStream isStream,
                         std::shared_ptr<TlsCertificates> tls)
    : limits_(limits), handler_(std::move(handler)), isStream_(std::move(isStream)), tls_(std::move(tls)) {
    const std::string where = host + ":" + std::to_string(port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int looked = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (looked != 0) throw std::runtime_error("cannot serve the page on " + where + ": " + gai_strerror(looked));
    try {
        listener_ = Listen(found, where);
    } catch (...) {
        freeaddrinfo(found);
        throw;
    }
    freeaddrinfo(found);
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    std::string ip;
    port_ = port;
    if (getsockname(listener_, reinterpret_cast<sockaddr*>(&bound), &length) == 0) {
        NumericAddress(bound, length, ip, port_);
    }
    wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_ < 0) {
        close(listener_);
        throw std::runtime_error("cannot serve the page on " + where + ": eventfd: " + std::strerror(errno));
    }
    try {
        loop_ = std::thread([this] { Loop(); });
        for (size_t i = 0; i < std::max<size_t>(1, limits_.workers); ++i) workers_.emplace_back([this] { Work(); });
    } catch (...) {
        Stop();
        throw;
    }
}

RequestGate::~RequestGate() { Stop(); }

void RequestGate::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        stopped_ = true;
        // Reads and writes at the workers and streams fail at once, and their close resets the
        // connection rather than leaving the system to send what was queued.
        const linger reset{1, 0};
        for (const int fd : busy_) {
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            shutdown(fd, SHUT_RDWR);
        }
        for (const auto& stream : streams_) {
            setsockopt(stream.second.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            shutdown(stream.second.fd, SHUT_RDWR);
        }
    }
    readyChanged_.notify_all();
    Wake();
    if (loop_.joinable()) loop_.join();
    for (auto& worker : workers_) {
        if (worker.joinable()) worker.join();
    }
    workers_.clear();
    // No stream starts any more (the loop ended): the running ones end within their slice.
    std::vector<std::thread> streams;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& stream : streams_) streams.push_back(std::move(stream.second.thread));
        streams_.clear();
        for (auto& ended : streamsEnded_) streams.push_back(std::move(ended));
        streamsEnded_.clear();
    }
    for (auto& stream : streams) {
        if (stream.joinable()) stream.join();
    }
    ready_.clear();
    returned_.clear();
    if (listener_ >= 0) close(listener_);
    if (wake_ >= 0) close(wake_);
    listener_ = wake_ = -1;
}

void RequestGate::Wake() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
}

size_t RequestGate::streams() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return streams_.size();
}

bool RequestGate::InStream() { return tInStream; }

bool RequestGate::StartTls(Connection& c) {
    if (!tls_) return true;
    try {
        // The certificate of the moment: a reload changes the connections made after it.
        c.tls = std::make_unique<TlsSession>(tls_->current(), c.fd);
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

bool RequestGate::StartStream(Owned& connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ || streams_.size() >= limits_.streams) return false;
    const long long id = nextStream_++;
    StreamSlot& slot = streams_[id];
    slot.fd = connection->fd;
    setsockopt(slot.fd, SOL_SOCKET, SO_SNDBUF, &kStreamSendBuffer, sizeof kStreamSendBuffer);
    slot.connection = std::move(connection);
    try {
        // The thread takes its connection under the lock, once the slot is whole.
        slot.thread = std::thread([this, id] { Stream(id); });
    } catch (const std::system_error&) {
        connection = std::move(slot.connection);
        streams_.erase(id);
        return false;
    }
    return true;
}

void RequestGate::Stream(long long id) {
    tInStream = true;
    Owned c;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = streams_.find(id);
        if (found != streams_.end()) c = std::move(found->second.connection);
    }
    if (c) {
        try {
            ConnectionStream stream(c->fd, c->tls.get(), c->buffer, c->head, limits_, &stopped_);
            handler_(stream, true);
        } catch (...) {
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Stop() may have taken the thread already; it joins it then.
        const auto found = streams_.find(id);
        if (found != streams_.end()) {
            streamsEnded_.push_back(std::move(found->second.thread));
            streams_.erase(found);
        }
    }
    // Out of the map before it is closed: Stop() never shuts down a number used again.
    if (c) c->CloseWrite();
    c.reset();
    Wake();
}

void RequestGate::JoinEndedStreams() {
    std::vector<std::thread> ended;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ended.swap(streamsEnded_);
    }
    for (auto& thread : ended) {
        if (thread.joinable()) thread.join();
    }
}

size_t RequestGate::OpenElsewhere() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ready_.size() + busy_.size() + returned_.size();
}

bool RequestGate::Examine(Owned& connection, std::vector<Owned>& closing) {
    Connection& c = *connection;
    size_t end = 0, body = 0;
    Head checked = CheckHead(c.buffer, limits_, end);
    if (checked == Head::HasBody) checked = FormBody(c.buffer, end, body, c.expect);
    switch (checked) {
        case Head::Unfinished: return true;
        case Head::Whole: {
            std::string head = WithCrlf(c.buffer.substr(0, end));
            c.head = head.size() + body;
            c.expect = 0;
            c.buffer = head + c.buffer.substr(end);
            c.queued = Clock::now();
            if (isStream_ && isStream_(Target(head))) {
                if (StartStream(connection)) return false;
                SendRefusal(c.fd, c.tls.get(), "503 Service Unavailable",
                            "{\"error\":\"at most " + std::to_string(limits_.streams) +
                                " streams at once, try again\"}\n",
                            "application/json");
                break;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            ready_.push_back(std::move(connection));
        }
            readyChanged_.notify_one();
            return false;
        case Head::TooLarge:
            SendRefusal(c.fd, c.tls.get(), "431 Request Header Fields Too Large",
                        "a request head is at most " + std::to_string(limits_.headBytes) + " bytes and " +
                            std::to_string(limits_.headerFields) + " fields\n");
            break;
        case Head::LineTooLong:
            SendRefusal(c.fd, c.tls.get(), "414 URI Too Long", "the request line is too long\n");
            break;
        // Refused before anything of the body is read: the page takes none.
        case Head::HasBody:
            SendRefusal(c.fd, c.tls.get(), "413 Payload Too Large", "the page takes no request body\n");
            break;
        case Head::TooManyRanges:
            SendRefusal(c.fd, c.tls.get(), "416 Range Not Satisfiable",
                        "at most " + std::to_string(kMaxRanges) + " byte ranges in a request\n");
            break;
    }
    c.CloseWrite();
    std::string().swap(c.buffer);
    c.deadline = Clock::now() + kLinger;
    closing.push_back(std::move(connection));
    return false;
}

void RequestGate::Loop() {
    std::vector<Owned> waiting;  // for their next request: only this thread touches them
    std::vector<Owned> closing;  // refused, read and dropped until closed
    std::vector<pollfd> polled;
    Clock::time_point acceptAgain{};
    char scratch[16384];
    for (;;) {
        std::vector<Owned> back;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) break;
            back.swap(returned_);
        }
        JoinEndedStreams();
        // A connection handed back may hold its next request already (pipelined).
        for (auto& c : back) {
            if (Examine(c, closing)) waiting.push_back(std::move(c));
        }

        const Clock::time_point now = Clock::now();
        const bool accepting = now >= acceptAgain;
        polled.assign({{wake_, POLLIN, 0}, {accepting ? listener_ : -1, POLLIN, 0}});
        Clock::time_point next = accepting ? now + std::chrono::seconds(60) : acceptAgain;
        for (const auto& c : waiting) {
            polled.push_back({c->fd, c->events, 0});
            next = std::min(next, c->Pending() ? now : c->deadline);
        }
        for (const auto& c : closing) {
            polled.push_back({c->fd, POLLIN, 0});
            next = std::min(next, c->deadline);
        }
        if (poll(polled.data(), polled.size(), MillisUntil(next)) < 0) {
            // Out of memory for the moment: try again shortly rather than stop serving.
            if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        if (polled[0].revents) {
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = ::read(wake_, &count, sizeof count);
        }

        const Clock::time_point later = Clock::now();
        std::vector<Owned> stillWaiting, stillClosing;
        for (size_t i = 0; i < closing.size(); ++i) {
            Owned& c = closing[i];
            if (polled[2 + waiting.size() + i].revents) {
                const ssize_t n = recv(c->fd, scratch, sizeof scratch, 0);
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) continue;
                if (n > 0) c->dropped += static_cast<size_t>(n);
            }
            if (later >= c->deadline || c->dropped > kLingerBytes) continue;
            stillClosing.push_back(std::move(c));
        }
        for (size_t i = 0; i < waiting.size(); ++i) {
            Owned& c = waiting[i];
            if (polled[2 + i].revents || c->Pending()) {
                // A head, or a head and the form body it announced (FormBody).
                const size_t most = std::max(limits_.headBytes + 1, c->expect);
                const size_t room = most - std::min(c->buffer.size(), most - 1);
                const ssize_t n = c->Receive(scratch, std::min(room, sizeof scratch));
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) continue;
                if (n > 0) c->buffer.append(scratch, static_cast<size_t>(n));
                if (!Examine(c, stillClosing)) continue;
            }
            if (later >= c->deadline) continue;  // too slow, or idle too long: closed
            stillWaiting.push_back(std::move(c));
        }
        waiting.swap(stillWaiting);
        closing.swap(stillClosing);  // in order of refusal: the oldest first

        if (!polled[1].revents) continue;
        for (;;) {
            const int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                // Out of descriptors: the clients wait in the backlog for a moment.
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                    acceptAgain = Clock::now() + std::chrono::milliseconds(100);
                }
                break;
            }
            auto c = std::make_unique<Connection>(fd);
            const int yes = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
            if (!StartTls(*c)) continue;
            if (waiting.size() + closing.size() + OpenElsewhere() >= limits_.connections) {
                if (!closing.empty()) {
                    closing.erase(closing.begin());
                } else if (!waiting.empty()) {
                    waiting.erase(std::min_element(waiting.begin(), waiting.end(),
                                                   [](const Owned& a, const Owned& b) { return a->since < b->since; }));
                } else {
                    SendRefusal(fd, c->tls.get(), "503 Service Unavailable", "too many clients, try again\n");
                    continue;
                }
            }
            c->Wait(limits_);
            waiting.push_back(std::move(c));
        }
    }
    // Leaving closes every connection this thread holds.
}

void RequestGate::Work() {
    for (;;) {
        Owned c;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            readyChanged_.wait(lock, [this] { return stopping_ || !ready_.empty(); });
            if (stopping_) return;
            c = std::move(ready_.front());
            ready_.pop_front();
            busy_.insert(c->fd);
        }
        bool again = false;
        // Its client has waited too long already, most likely behind slow readers.
        if (Clock::now() - c->queued > limits_.requestTime) {
            SendRefusal(c->fd, c->tls.get(), "503 Service Unavailable", "too busy, try again\n");
        } else {
            try {
                ConnectionStream stream(c->fd, c->tls.get(), c->buffer, c->head, limits_);
                const bool last = ++c->served >= limits_.requestsPerConnection;
                again = handler_(stream, last) && !stream.failed() && !last;
                c->buffer.erase(0, c->head);  // the next request starts after the head (and its form body)
            } catch (...) {
                again = false;
            }
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            busy_.erase(c->fd);
            if (again && !stopping_) {
                c->Wait(limits_);
                returned_.push_back(std::move(c));
            }
        }
        if (c) {
            c->CloseWrite();
            c.reset();  // closed outside the lock
        } else {
            Wake();
        }
    }
}

}  // namespace weapon_detect
