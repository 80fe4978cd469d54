// The sign-in's parts on their own: the session table and the lock-out of failing addresses
// (with the time given, so nothing waits), password hashes, and the request gate letting
// POST /login's form through while every other body stays refused unread.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <set>
#include <thread>

#include <gtest/gtest.h>
#include <httplib.h>

#include "web/password_hash.h"
#include "web/request_gate.h"
#include "web/sessions.h"

using namespace weapon_detect;
using std::chrono::seconds;

namespace {

const SteadyTime kStart = std::chrono::steady_clock::now();

TEST(SessionTableTest, SessionsAreFoundUntilTheyExpireOrClose) {
    SessionTable table;
    const std::string ana = table.Open("ana", "admin", seconds(3600), kStart);
    const std::string bo = table.Open("bo", "viewer", seconds(60), kStart);
    EXPECT_EQ(ana.size(), 64u);
    EXPECT_EQ(ana.find_first_not_of("0123456789abcdef"), std::string::npos) << ana;
    EXPECT_NE(ana, bo);

    const auto found = table.Find(ana, kStart + seconds(59));
    ASSERT_TRUE(found);
    EXPECT_EQ(found->user, "ana");
    EXPECT_EQ(found->role, "admin");
    ASSERT_TRUE(table.Find(bo, kStart + seconds(59)));
    EXPECT_EQ(table.Count(kStart + seconds(59)), 2u);
    // Expired: gone, and not counted.
    EXPECT_FALSE(table.Find(bo, kStart + seconds(60)));
    EXPECT_EQ(table.Count(kStart + seconds(60)), 1u);
    // An id a byte off, or of another length, finds nothing.
    std::string near = ana;
    near.back() = near.back() == '0' ? '1' : '0';
    EXPECT_FALSE(table.Find(near, kStart));
    EXPECT_FALSE(table.Find(ana.substr(0, 63), kStart));
    EXPECT_FALSE(table.Find("", kStart));
    table.Close(ana);
    EXPECT_FALSE(table.Find(ana, kStart + seconds(1)));
    EXPECT_EQ(table.Count(kStart + seconds(1)), 0u);
}

TEST(SessionTableTest, AFullTableEndsItsOldestSession) {
    SessionTable table(3);
    std::vector<std::string> ids;
    for (int i = 0; i < 5; ++i) ids.push_back(table.Open("u" + std::to_string(i), "viewer", seconds(60), kStart));
    EXPECT_EQ(table.Count(kStart), 3u);
    EXPECT_FALSE(table.Find(ids[0], kStart));
    EXPECT_FALSE(table.Find(ids[1], kStart));
    for (int i = 2; i < 5; ++i) EXPECT_TRUE(table.Find(ids[i], kStart)) << i;
    std::set<std::string> distinct(ids.begin(), ids.end());
    EXPECT_EQ(distinct.size(), ids.size());
}

TEST(LoginLimiterTest, FailuresLockAnAddressOutForLongerEachTimeUpToTheLongest) {
    LoginLimiter limiter;
    SteadyTime now = kStart;
    for (int i = 1; i < LoginLimiter::kFreeFailures; ++i) {
        limiter.Failed("192.0.2.7", now);
        EXPECT_EQ(limiter.Wait("192.0.2.7", now).count(), 0) << "after " << i << " failures";
    }
    // The fifth failure locks it out; each further one (after waiting) doubles the wait.
    seconds expected = LoginLimiter::kFirstLock;
    for (int i = 0; i < 8; ++i) {
        limiter.Failed("192.0.2.7", now);
        EXPECT_EQ(limiter.Wait("192.0.2.7", now), expected) << "failure " << LoginLimiter::kFreeFailures + i;
        EXPECT_EQ(limiter.Wait("192.0.2.7", now + expected - seconds(1)), seconds(1));
        EXPECT_EQ(limiter.Wait("192.0.2.8", now).count(), 0) << "another address";
        now += expected;
        EXPECT_EQ(limiter.Wait("192.0.2.7", now).count(), 0);
        expected = std::min(expected * 2, LoginLimiter::kLongestLock);
    }
    EXPECT_EQ(expected, LoginLimiter::kLongestLock);
    // A success forgets the failures.
    limiter.Succeeded("192.0.2.7");
    limiter.Failed("192.0.2.7", now);
    EXPECT_EQ(limiter.Wait("192.0.2.7", now).count(), 0);
}

TEST(LoginLimiterTest, IPv6ClientsCountByNetworkAndTheTableStaysBounded) {
    EXPECT_EQ(LoginLimiter::Key("2001:db8:1:2:aaaa::1"), "2001:db8:1:2::/64");
    EXPECT_EQ(LoginLimiter::Key("2001:db8:1:2:ffff::9"), "2001:db8:1:2::/64");
    EXPECT_EQ(LoginLimiter::Key("::ffff:192.0.2.1"), "192.0.2.1");
    EXPECT_EQ(LoginLimiter::Key("192.0.2.1"), "192.0.2.1");

    LoginLimiter limiter(4);
    for (int i = 0; i < LoginLimiter::kFreeFailures; ++i)
        limiter.Failed("2001:db8:1:2::" + std::to_string(i + 1), kStart);
    EXPECT_GT(limiter.Wait("2001:db8:1:2::99", kStart).count(), 0) << "one network, one count";
    for (int i = 0; i < 10; ++i) limiter.Failed("198.51.100." + std::to_string(i), kStart + seconds(1 + i));
    EXPECT_EQ(limiter.size(), 4u);
    // Full: the address that failed longest ago was forgotten first.
    EXPECT_EQ(limiter.Wait("2001:db8:1:2::99", kStart).count(), 0);
    // Quiet for an hour, and not locked: forgotten.
    LoginLimiter quiet;
    quiet.Failed("192.0.2.1", kStart);
    quiet.Failed("192.0.2.2", kStart + LoginLimiter::kForget);
    EXPECT_EQ(quiet.size(), 1u);
}

TEST(PasswordHashTest, AHashVerifiesItsPasswordOnly) {
    const std::string hash = HashPassword("correct horse");
    EXPECT_EQ(hash.rfind("$argon2id$v=19$", 0), 0u) << hash;
    EXPECT_NO_THROW(CheckPasswordHash(hash));
    EXPECT_TRUE(VerifyPassword(hash, "correct horse"));
    EXPECT_FALSE(VerifyPassword(hash, "correct horsf"));
    EXPECT_FALSE(VerifyPassword(hash, ""));
    EXPECT_NE(HashPassword("correct horse"), hash) << "a salt of its own each time";
}

TEST(PasswordHashTest, HashesTheProgramWouldNotVerifyAreRefusedSayingWhy) {
    const std::string good = HashPassword("x");
    const std::string tail = good.substr(good.find("$", 20));  // salt and hash
    const struct {
        std::string hash, why;
    } cases[] = {
        {"", "not a libsodium argon2id hash"},
        {"hunter2", "not a libsodium argon2id hash"},
        {"$2y$10$abcdefghijklmnopqrstuuJ6Wy0cW8pGxQeS5aYgqI6e0Wf0z5E.6", "not a libsodium argon2id hash"},
        {"$argon2i$v=19$m=65536,t=2,p=1" + tail, "not a libsodium argon2id hash"},
        {"$argon2id$v=16$m=65536,t=2,p=1" + tail, "not a libsodium argon2id hash"},
        {good.substr(0, good.size() - 10), "not a libsodium argon2id hash"},
        {"$argon2id$v=19$m=4194304,t=2,p=1" + tail, "more than 1 GiB"},
        {"$argon2id$v=19$m=65536,t=1000,p=1" + tail, "more than 16 passes"},
    };
    for (const auto& c : cases) {
        try {
            CheckPasswordHash(c.hash);
            ADD_FAILURE() << "took " << c.hash;
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(c.why), std::string::npos) << c.hash << ": " << e.what();
        }
    }
}

// A gate whose handler answers with what it could read of the request: head and body.
struct EchoGate {
    EchoGate()
        : gate("127.0.0.1", 0, Limits(), [](httplib::Stream& s, bool) {
              std::string got;
              char buffer[1024];
              while (s.is_readable()) {
                  const ssize_t n = s.read(buffer, sizeof buffer);
                  if (n <= 0) break;
                  got.append(buffer, static_cast<size_t>(n));
              }
              const std::string body = got.substr(got.find("\r\n\r\n") + 4);
              const std::string answer =
                  "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
              return s.write(answer.data(), answer.size()) == static_cast<ssize_t>(answer.size());
          }) {}
    static GateLimits Limits() {
        GateLimits limits;
        limits.requestTime = std::chrono::milliseconds(1500);
        return limits;
    }
    RequestGate gate;
};

int Connect(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
}

// Everything that arrives until the gate closes or answers whole (10 s at most).
std::string Exchange(int port, const std::vector<std::string>& parts, std::chrono::milliseconds gap = {}) {
    const int fd = Connect(port);
    for (const std::string& part : parts) {
        send(fd, part.data(), part.size(), MSG_NOSIGNAL);
        std::this_thread::sleep_for(gap);
    }
    std::string got;
    char buffer[8192];
    const auto deadline = std::chrono::steady_clock::now() + seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        got.append(buffer, static_cast<size_t>(n));
        const size_t end = got.find("\r\n\r\n"), at = got.find("Content-Length: ");
        if (end != std::string::npos && at != std::string::npos &&
            got.size() >= end + 4 + std::stoul(got.substr(at + 16))) {
            break;
        }
    }
    close(fd);
    return got;
}

std::string Post(const std::string& target, const std::string& body, const std::string& type,
                 const std::string& more = "") {
    return "POST " + target + " HTTP/1.1\r\nHost: x\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + more + "\r\n" + body;
}

TEST(GateFormBody, OnlyTheLoginFormIsReadAndHandedOn) {
    EchoGate echo;
    const int port = echo.gate.port();
    const std::string form = "application/x-www-form-urlencoded";
    const std::string full(4096 - 9, 'p');
    const struct {
        const char* what;
        std::string request;
        std::string expected;  // the status line's start and, after a 200, the body handed on
    } cases[] = {
        {"a login form", Post("/login", "name=ana&password=x", form), "HTTP/1.1 200 name=ana&password=x"},
        {"a form of 4 KiB", Post("/login", "password=" + full, form), "HTTP/1.1 200 password=" + full},
        {"a form with its charset", Post("/login", "token=t", form + "; charset=UTF-8"), "HTTP/1.1 200 token=t"},
        {"a form of 4 KiB and a byte", Post("/login", "password=" + full + "p", form), "HTTP/1.1 413"},
        {"another route", Post("/api/events/1/ack", "by=x", form), "HTTP/1.1 413"},
        {"another method",
         "PUT /login HTTP/1.1\r\nHost: x\r\nContent-Type: " + form + "\r\nContent-Length: 3\r\n\r\na=b",
         "HTTP/1.1 413"},
        {"JSON", Post("/login", "{\"a\":1}", "application/json"), "HTTP/1.1 413"},
        {"no type", "POST /login HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\na=b", "HTTP/1.1 413"},
        {"two types", Post("/login", "a=b", form, "Content-Type: " + form + "\r\n"), "HTTP/1.1 413"},
        {"two lengths", Post("/login", "a=b", form, "Content-Length: 3\r\n"), "HTTP/1.1 413"},
        {"a signed length",
         "POST /login HTTP/1.1\r\nHost: x\r\nContent-Type: " + form + "\r\nContent-Length: +3\r\n\r\na=b",
         "HTTP/1.1 413"},
        {"chunked",
         "POST /login HTTP/1.1\r\nHost: x\r\nContent-Type: " + form +
             "\r\nTransfer-Encoding: chunked\r\n\r\n3\r\na=b\r\n0\r\n\r\n",
         "HTTP/1.1 413"},
    };
    for (const auto& c : cases) {
        const std::string got = Exchange(port, {c.request});
        const std::string line = got.substr(0, 12);
        const size_t end = got.find("\r\n\r\n");
        const std::string shown =
            line == "HTTP/1.1 200" && end != std::string::npos ? line + " " + got.substr(end + 4) : line;
        EXPECT_EQ(shown.substr(0, 64), c.expected.substr(0, 64)) << c.what;
        EXPECT_EQ(shown.size(), c.expected.size()) << c.what;
    }
}

TEST(GateFormBody, ABodyIsAwaitedWithinTheHeadsTimeOnly) {
    EchoGate echo;
    const int port = echo.gate.port();
    const std::string request = Post("/login", "name=ana&password=secret", "application/x-www-form-urlencoded");
    const size_t split = request.find("\r\n\r\n") + 4 + 5;
    // In pieces, soon enough: whole.
    EXPECT_EQ(Exchange(port, {request.substr(0, split), request.substr(split)}, std::chrono::milliseconds(200)),
              "HTTP/1.1 200 OK\r\nContent-Length: 24\r\n\r\nname=ana&password=secret");
    // The rest of the body never comes: closed once the head's time is up, nothing handed on.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Exchange(port, {request.substr(0, split)}), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, seconds(9));
}

}  // namespace
