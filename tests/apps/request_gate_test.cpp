// The page's front door on its own, with small limits and a handler that answers with the
// request's path: raw loopback clients that pipeline, send heads over the bounds, trickle,
// idle, crowd it, or stop reading, and a second gate on the same address.
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>
#include <httplib.h>

#include "support/request_head.h"
#include "support/servers.h"
#include "web/request_gate.h"

using namespace weapon_detect;
using Clock = std::chrono::steady_clock;

namespace {

// Answers "HTTP/1.1 200" with the request's path as body; "/close" ends the connection,
// "/hold" waits until released, "/flood" writes 256 MiB, "/more" tries to read past the head
// and answers "/more" followed by what that read returned.
class PathHandler {
public:
    bool operator()(httplib::Stream& stream, bool last) {
        ++calls;
        std::string path;
        if (!handlers::ReadRequestPath(stream, path)) return false;
        char byte;
        if (path == "/more") path += std::to_string(stream.read(&byte, 1));
        if (path == "/hold") {
            ++holding;
            std::unique_lock<std::mutex> lock(mutex_);
            released_.wait(lock, [this] { return release_; });
        }
        if (path == "/flood") {
            const std::string chunk(1 << 20, 'f');
            if (stream.write("HTTP/1.1 200 OK\r\nContent-Length: 268435456\r\n\r\n") < 0) return false;
            for (int i = 0; i < 256; ++i) {
                if (stream.write(chunk.data(), chunk.size()) < 0) return false;
            }
            return true;
        }
        const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(path.size()) +
                                   (last ? "\r\nConnection: close" : "") + "\r\n\r\n" + path;
        return stream.write(answer.data(), answer.size()) == static_cast<ssize_t>(answer.size()) && path != "/close";
    }
    void Release() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            release_ = true;
        }
        released_.notify_all();
    }

    std::atomic<int> calls{0}, holding{0};

private:
    std::mutex mutex_;
    std::condition_variable released_;
    bool release_ = false;
};

struct Gate {
    explicit Gate(GateLimits limits)
        : gate("127.0.0.1", 0, limits, [this](httplib::Stream& s, bool last) { return handler(s, last); }) {}
    ~Gate() {
        handler.Release();
        gate.Stop();
    }
    PathHandler handler;
    RequestGate gate;
};

std::string Get(const std::string& path, const std::string& fields = "") {
    return "GET " + path + " HTTP/1.1\r\nHost: x\r\n" + fields + "\r\n";
}

// What arrives until the server closes, at most `limit`; `closed` says whether it did.
std::string ReadUntilClosed(int fd, std::chrono::seconds limit, bool& closed) {
    std::string got;
    char buffer[4096];
    closed = false;
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            closed = true;
            break;
        }
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

// A raw client with its socket.
struct Raw {
    explicit Raw(int port) : fd(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) ADD_FAILURE() << "no connection";
    }
    ~Raw() { close(fd); }
    bool Send(const std::string& bytes) const {
        return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // One answer's status line and body (the handler's answers have a Content-Length).
    std::string Answer(std::chrono::seconds limit = std::chrono::seconds(10)) const {
        std::string got;
        char byte;
        const auto deadline = Clock::now() + limit;
        while (Clock::now() < deadline) {
            const size_t end = got.find("\r\n\r\n");
            if (end != std::string::npos) {
                const size_t at = got.find("Content-Length: ");
                const size_t length = at == std::string::npos ? 0 : std::stoul(got.substr(at + 16));
                if (got.size() == end + 4 + length) return got.substr(0, 12) + " " + got.substr(end + 4);
            }
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            if (recv(fd, &byte, 1, 0) != 1) break;
            got += byte;
        }
        return got.substr(0, 12);
    }
    bool ClosedWithin(std::chrono::seconds limit) const {
        bool closed = false;
        ReadUntilClosed(fd, limit, closed);
        return closed;
    }
    int fd;
};

using servers::Within;

}  // namespace

TEST(RequestGateTest, PipelinedAndPiecemealRequestsAreAnsweredInOrder) {
    Gate g({});
    Raw pipelined(g.gate.port());
    ASSERT_TRUE(pipelined.Send(Get("/a") + Get("/b") + Get("/c") + Get("/close")));
    bool closed = false;
    const std::string answers = ReadUntilClosed(pipelined.fd, std::chrono::seconds(10), closed);
    EXPECT_TRUE(closed);
    const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n";
    EXPECT_EQ(answers, ok + "/a" + ok + "/b" + ok + "/c" + "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\n/close");

    // A head in pieces, the next one begun in the same piece as the end of the first.
    Raw piecemeal(g.gate.port());
    const std::string both = Get("/first") + Get("/second");
    size_t from = 0;
    for (const size_t cut : {size_t{3}, size_t{20}, both.size() / 2 + 3, both.size()}) {
        ASSERT_TRUE(piecemeal.Send(both.substr(from, cut - from)));
        from = cut;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(piecemeal.Answer(), "HTTP/1.1 200 /first");
    EXPECT_EQ(piecemeal.Answer(), "HTTP/1.1 200 /second");
}

TEST(RequestGateTest, AConnectionCarriesABoundedNumberOfRequests) {
    GateLimits limits;
    limits.requestsPerConnection = 3;
    Gate g(limits);
    Raw client(g.gate.port());
    ASSERT_TRUE(client.Send(Get("/1") + Get("/2") + Get("/3") + Get("/4")));
    bool closed = false;
    const std::string answers = ReadUntilClosed(client.fd, std::chrono::seconds(10), closed);
    EXPECT_TRUE(closed);
    EXPECT_NE(answers.find("Connection: close\r\n\r\n/3"), std::string::npos) << answers;
    EXPECT_EQ(answers.find("/4"), std::string::npos) << answers;
}

// Heads over the bounds are refused with the connection closed, and the handler never sees them.
TEST(RequestGateTest, HeadsOverTheBoundsAreRefusedBeforeTheHandler) {
    GateLimits limits;
    limits.headBytes = 256;
    limits.headerFields = 4;
    Gate g(limits);
    auto sized = [](size_t size) {
        const std::string start = "GET /p HTTP/1.1\r\nX-Pad: ", end = "\r\n\r\n";
        return start + std::string(size - start.size() - end.size(), 'p') + end;
    };
    struct Case {
        const char* what;
        std::string request;
        std::string answer;  // status and body
    };
    const Case cases[] = {
        {"4 fields", Get("/p", "A: 1\r\nB: 2\r\nC: 3\r\n"), "HTTP/1.1 200 /p"},
        {"5 fields", Get("/p", "A: 1\r\nB: 2\r\nC: 3\r\nD: 4\r\n"), "HTTP/1.1 431"},
        {"5 fields, the head unfinished", "GET /p HTTP/1.1\r\nA: 1\r\nB: 2\r\nC: 3\r\nD: 4\r\nE: 5\r\n",
         "HTTP/1.1 431"},
        {"256 bytes", sized(256), "HTTP/1.1 200 /p"},
        {"257 bytes", sized(257), "HTTP/1.1 431"},
        {"257 bytes, the head unfinished", sized(300).substr(0, 257), "HTTP/1.1 431"},
        {"a request line of 300 bytes", Get("/" + std::string(300, 'u')), "HTTP/1.1 414"},
    };
    for (const Case& c : cases) {
        const int calls = g.handler.calls;
        Raw client(g.gate.port());
        ASSERT_TRUE(client.Send(c.request));
        const std::string answer = client.Answer();
        EXPECT_EQ(answer.substr(0, c.answer.size()), c.answer) << c.what;
        if (c.answer == "HTTP/1.1 200 /p") continue;
        EXPECT_TRUE(client.ClosedWithin(std::chrono::seconds(10))) << c.what;
        EXPECT_EQ(g.handler.calls, calls) << c.what;
    }
}

// A request must arrive whole within the request time, and an idle connection is closed then
// too, however the client trickles; the handler never sees the request.
TEST(RequestGateTest, ASlowOrIdleConnectionIsClosedAtItsDeadline) {
    GateLimits limits;
    limits.requestTime = std::chrono::milliseconds(300);
    Gate g(limits);
    Raw idle(g.gate.port()), slow(g.gate.port());
    ASSERT_TRUE(slow.Send("GET /slow HTTP/1.1\r\nX: "));
    bool closed = false;
    for (int i = 0; i < 500 && !closed; ++i) {
        closed = !slow.Send("a");
        pollfd p{slow.fd, POLLIN, 0};
        closed = closed || poll(&p, 1, 20) > 0;
    }
    EXPECT_TRUE(closed) << "a request a byte every 20 ms for 10 s";
    EXPECT_TRUE(idle.ClosedWithin(std::chrono::seconds(10)));
    EXPECT_EQ(g.handler.calls, 0);
}

// At the bound, the connection that waited longest for a request makes room for a new one.
TEST(RequestGateTest, AtTheBoundTheOldestWaitingConnectionMakesRoom) {
    GateLimits limits;
    limits.connections = 4;
    Gate g(limits);
    std::vector<std::unique_ptr<Raw>> waiting;
    for (int i = 0; i < 4; ++i) {
        waiting.push_back(std::make_unique<Raw>(g.gate.port()));
        ASSERT_TRUE(waiting.back()->Send(Get("/" + std::to_string(i))));
        ASSERT_EQ(waiting.back()->Answer(), "HTTP/1.1 200 /" + std::to_string(i));
    }
    Raw fresh(g.gate.port());
    ASSERT_TRUE(fresh.Send(Get("/fresh")));
    EXPECT_EQ(fresh.Answer(), "HTTP/1.1 200 /fresh");
    EXPECT_TRUE(waiting[0]->ClosedWithin(std::chrono::seconds(10))) << "the oldest idle connection";
    ASSERT_TRUE(waiting[3]->Send(Get("/again")));
    EXPECT_EQ(waiting[3]->Answer(), "HTTP/1.1 200 /again");
}

TEST(RequestGateTest, WhenEveryConnectionHoldsARequestANewOneGets503) {
    GateLimits limits;
    limits.connections = 3;
    limits.workers = 3;
    Gate g(limits);
    std::vector<std::unique_ptr<Raw>> held;
    for (int i = 0; i < 3; ++i) {
        held.push_back(std::make_unique<Raw>(g.gate.port()));
        ASSERT_TRUE(held.back()->Send(Get("/hold")));
    }
    ASSERT_TRUE(Within(std::chrono::seconds(10), [&] { return g.handler.holding == 3; }));
    Raw extra(g.gate.port());
    ASSERT_TRUE(extra.Send(Get("/extra")));
    EXPECT_EQ(extra.Answer().substr(0, 12), "HTTP/1.1 503");
    EXPECT_TRUE(extra.ClosedWithin(std::chrono::seconds(10)));
    g.handler.Release();
    for (auto& h : held) EXPECT_EQ(h->Answer(), "HTTP/1.1 200 /hold");
}

// A stop closes the connections rather than awaiting them: a client that does not read its
// answer, one that trickles and one that idles, with long limits, do not delay it.
TEST(RequestGateTest, StopClosesConnectionsInsteadOfAwaitingThem) {
    GateLimits limits;
    limits.requestTime = std::chrono::seconds(120);
    limits.writeStall = std::chrono::seconds(120);
    Gate g(limits);
    Raw reader(g.gate.port()), slow(g.gate.port()), idle(g.gate.port());
    int size = 4096;
    setsockopt(reader.fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    ASSERT_TRUE(reader.Send(Get("/flood")));
    ASSERT_TRUE(slow.Send("GET /slow HTTP/1.1\r\n"));
    ASSERT_TRUE(Within(std::chrono::seconds(10), [&] { return g.handler.calls == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the flood fills the buffers

    const auto start = Clock::now();
    g.gate.Stop();
    // Documented: within 2 s; the ceiling is loose for a loaded machine.
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    for (const Raw* c : {&reader, &slow, &idle}) {
        bool closed = false;
        const std::string got = ReadUntilClosed(c->fd, std::chrono::seconds(20), closed);
        EXPECT_TRUE(closed) << (c == &reader ? "the reader"
                                : c == &slow ? "the slow client"
                                             : "the idle client")
                            << " after " << got.size() << " bytes";
    }
    const int after = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(g.gate.port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_NE(connect(after, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << "still listening";
    close(after);
}

TEST(RequestGateTest, TheAddressIsNeverShared) {
    Gate g({});
    try {
        RequestGate second("127.0.0.1", g.gate.port(), {}, [](httplib::Stream&, bool) { return false; });
        ADD_FAILURE() << "a second gate listens on the same address";
    } catch (const std::runtime_error& e) {
        const std::string said = e.what();
        EXPECT_NE(said.find("127.0.0.1:" + std::to_string(g.gate.port())), std::string::npos) << said;
        EXPECT_NE(said.find("address already in use"), std::string::npos) << said;
    }
    Raw client(g.gate.port());
    ASSERT_TRUE(client.Send(Get("/still")));
    EXPECT_EQ(client.Answer(), "HTTP/1.1 200 /still");
}

// What the page never serves is refused before the handler, the body unread: a body however
// announced, and more than 8 byte ranges. A head whose lines end in a bare LF is served, and
// the handler's reads end with the head.
TEST(RequestGateTest, BodiesAndManyRangesAreRefusedAndBareLfHeadsServed) {
    Gate g({});
    std::string ranges8 = "Range: bytes=0-", ranges9;
    for (int i = 0; i < 7; ++i) ranges8 += ",0-";
    ranges9 = ranges8 + ",0-";
    struct Case {
        const char* what;
        std::string request;
        std::string answer;  // status and body
    };
    const Case cases[] = {
        {"a chunked POST", "POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n", "HTTP/1.1 413"},
        {"a GET announcing 1 GB", Get("/p", "Content-Length: 1000000000\r\n"), "HTTP/1.1 413"},
        {"a PUT with a lower-case length", "PUT /p HTTP/1.1\r\ncontent-length: 5\r\n\r\n", "HTTP/1.1 413"},
        {"a chunked GET in bare LF lines", "GET /p HTTP/1.1\nTransfer-Encoding: chunked\n\n", "HTTP/1.1 413"},
        {"Content-Length: 0", Get("/p", "Content-Length: 0\r\n"), "HTTP/1.1 200 /p"},
        {"8 ranges", Get("/p", ranges8 + "\r\n"), "HTTP/1.1 200 /p"},
        {"9 ranges", Get("/p", ranges9 + "\r\n"), "HTTP/1.1 416"},
        {"HTTP/1.0 in bare LF lines", "GET /lf HTTP/1.0\n\n", "HTTP/1.1 200 /lf"},
        {"fields in bare LF lines", "GET /lf HTTP/1.1\nHost: x\nAccept: */*\n\n", "HTTP/1.1 200 /lf"},
    };
    for (const Case& c : cases) {
        const int calls = g.handler.calls;
        Raw client(g.gate.port());
        ASSERT_TRUE(client.Send(c.request));
        const std::string answer = client.Answer();
        EXPECT_EQ(answer.substr(0, c.answer.size()), c.answer) << c.what;
        if (c.answer.size() > 12) continue;
        EXPECT_TRUE(client.ClosedWithin(std::chrono::seconds(10))) << c.what;
        EXPECT_EQ(g.handler.calls, calls) << c.what;
    }

    // The request after the one that read past its head is whole.
    Raw pipelined(g.gate.port());
    ASSERT_TRUE(pipelined.Send(Get("/more") + Get("/next")));
    EXPECT_EQ(pipelined.Answer(), "HTTP/1.1 200 /more0");
    EXPECT_EQ(pipelined.Answer(), "HTTP/1.1 200 /next");

    // A chunked body of 300 MiB is never read: the connection closes long before it is sent.
    Raw chunked(g.gate.port());
    ASSERT_TRUE(chunked.Send("POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"));
    const std::string chunk = "100000\r\n" + std::string(1 << 20, 'b') + "\r\n";
    size_t sent = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    timeval wait{0, 200000};
    setsockopt(chunked.fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    while (sent < 300 * chunk.size() && Clock::now() < deadline) {
        const ssize_t n = send(chunked.fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
        if (n > 0) sent += static_cast<size_t>(n);
    }
    EXPECT_LT(sent, 64u << 20) << "the body was read";
}

// Clients that read their answers slowly free their workers within the answer's deadline, and
// a request that waited for a worker longer than the request time gets 503 at once.
TEST(RequestGateTest, SlowReadersAreCutAndALongWaitGets503) {
    GateLimits limits;
    limits.workers = 2;
    limits.requestTime = std::chrono::milliseconds(1000);
    limits.writeStall = std::chrono::milliseconds(2000);
    limits.minRate = 16 << 20;
    limits.answerTime = std::chrono::milliseconds(5000);
    Gate g(limits);
    Raw slow1(g.gate.port()), slow2(g.gate.port());
    ASSERT_TRUE(slow1.Send(Get("/flood")));
    ASSERT_TRUE(slow2.Send(Get("/flood")));
    // 16 KiB every 10 ms each: steady progress, 256 MiB in minutes.
    std::atomic<bool> stop{false};
    std::atomic<int> open{2};
    std::thread reader([&] {
        std::vector<char> buffer(16384);
        bool done[2] = {false, false};
        while (!stop && open > 0) {
            for (int i = 0; i < 2; ++i) {
                if (done[i]) continue;
                const int fd = i == 0 ? slow1.fd : slow2.fd;
                const ssize_t n = recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
                    done[i] = true;
                    --open;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    ASSERT_TRUE(Within(std::chrono::seconds(10), [&] { return g.handler.calls == 2; }));
    Raw queued(g.gate.port());
    ASSERT_TRUE(queued.Send(Get("/queued")));
    const std::string first = queued.Answer(std::chrono::seconds(30));
    EXPECT_TRUE(Within(std::chrono::seconds(30), [&] { return open == 0; })) << "the slow readers were never cut";
    stop = true;
    reader.join();
    EXPECT_EQ(first.substr(0, 12), "HTTP/1.1 503") << first;
    Raw fresh(g.gate.port());
    ASSERT_TRUE(fresh.Send(Get("/fresh")));
    EXPECT_EQ(fresh.Answer(), "HTTP/1.1 200 /fresh");
}

// An address of the name already in use fails the listen, rather than the next address being
// taken: localhost would be shared with the program on the other one.
TEST(RequestGateTest, AnAddressInUseEndsTheSearch) {
    const int held = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in taken{};
    taken.sin_family = AF_INET;
    taken.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof taken;
    ASSERT_EQ(bind(held, reinterpret_cast<sockaddr*>(&taken), sizeof taken), 0);
    ASSERT_EQ(listen(held, 4), 0);
    ASSERT_EQ(getsockname(held, reinterpret_cast<sockaddr*>(&taken), &length), 0);
    // The name's addresses: the one in use, then a free one.
    sockaddr_in free = taken;
    free.sin_port = 0;
    addrinfo second{}, first{};
    second.ai_family = first.ai_family = AF_INET;
    second.ai_socktype = first.ai_socktype = SOCK_STREAM;
    second.ai_addrlen = first.ai_addrlen = sizeof(sockaddr_in);
    first.ai_addr = reinterpret_cast<sockaddr*>(&taken);
    second.ai_addr = reinterpret_cast<sockaddr*>(&free);
    first.ai_next = &second;
    try {
        const int fd = Listen(&first, "localhost:" + std::to_string(ntohs(taken.sin_port)));
        close(fd);
        ADD_FAILURE() << "listened on the next address";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("address already in use"), std::string::npos) << e.what();
    }
    close(held);
}
