// The page's front door over TLS on its own: certificates made here with openssl, checked
// with curl --cacert; the TLS context refuses unusable files naming them; clients that never
// finish a handshake, or speak plain HTTP, are closed within the head's bound and never hold
// the stop.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/ssl.h>

#include "support/http_probe.h"
#include "support/request_head.h"
#include "support/servers.h"
#include "support/test_certificates.h"
#include "web/request_gate.h"
#include "web/tls_context.h"

using namespace weapon_detect;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

class TlsGateTest : public ::testing::Test {
protected:
    void SetUp() override {
        // OpenSSL writes to sockets without MSG_NOSIGNAL; the program ignores SIGPIPE too.
        std::signal(SIGPIPE, SIG_IGN);
        dir = fs::temp_directory_path() / ("tls_gate_" + std::to_string(getpid()) + "_" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        ASSERT_TRUE(servers::MakeCertificate(dir.string(), "a"));
        ASSERT_TRUE(servers::MakeCertificate(dir.string(), "b"));
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string File(const std::string& name) const { return (dir / name).string(); }
    fs::path dir;
};

// Answers 200 with the request's path.
bool AnswerPath(httplib::Stream& stream, bool) {
    std::string path;
    if (!handlers::ReadRequestPath(stream, path)) return false;
    const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(path.size()) + "\r\n\r\n" + path;
    return stream.write(answer.data(), answer.size()) == static_cast<ssize_t>(answer.size());
}

// True once the server closed `fd` (bytes before the end are dropped), within `limit`.
bool ClosedWithin(int fd, std::chrono::seconds limit) {
    const auto deadline = Clock::now() + limit;
    char buffer[4096];
    while (Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        if (recv(fd, buffer, sizeof buffer, 0) <= 0) return true;
    }
    return false;
}

// A TLS client on a blocking loopback socket with a small receive window, trusting `ca`.
class TlsClient {
public:
    TlsClient(int port, const std::string& ca) : ctx_(SSL_CTX_new(TLS_client_method())) {
        raw_ = std::make_unique<servers::RawConnection>(port);
        const int window = 4096;
        setsockopt(raw_->fd(), SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
        if (!ctx_ || SSL_CTX_load_verify_locations(ctx_, ca.c_str(), nullptr) != 1) return;
        SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
        ssl_ = SSL_new(ctx_);
        ok_ = ssl_ && raw_->connected() && SSL_set_fd(ssl_, raw_->fd()) == 1 && SSL_connect(ssl_) == 1;
    }
    ~TlsClient() {
        SSL_free(ssl_);
        SSL_CTX_free(ctx_);
    }
    TlsClient(const TlsClient&) = delete;
    TlsClient& operator=(const TlsClient&) = delete;
    bool ok() const { return ok_; }
    bool Send(const std::string& bytes) { return SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size())) > 0; }

private:
    SSL_CTX* ctx_;
    SSL* ssl_ = nullptr;
    std::unique_ptr<servers::RawConnection> raw_;
    bool ok_ = false;
};

}  // namespace

TEST_F(TlsGateTest, UnusableFilesAreRefusedNamingTheFileAndTheReason) {
    std::ofstream(File("garbage.pem")) << "not a certificate\n";
    struct Case {
        const char* what;
        std::string cert, key;
        std::string named, reason;
    } cases[] = {
        {"missing certificate", File("none.pem"), File("a.key"), File("none.pem"), "No such file or directory"},
        {"missing key", File("a.pem"), File("none.key"), File("none.key"), "No such file or directory"},
        {"not a certificate", File("garbage.pem"), File("a.key"), File("garbage.pem"), "no start line"},
        {"not a key", File("a.pem"), File("garbage.pem"), File("garbage.pem"), "PEM"},
        {"a key of another certificate", File("a.pem"), File("b.key"), File("b.key"), "does not belong"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            TlsContext context(c.cert, c.key);
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& e) {
            const std::string message = e.what();
            EXPECT_NE(message.find(c.named), std::string::npos) << message;
            EXPECT_NE(message.find(c.reason), std::string::npos) << message;
        }
    }
    EXPECT_NO_THROW(TlsContext(File("a.pem"), File("a.key")));
}

TEST_F(TlsGateTest, ServesOverTlsAndAReloadChangesOnlyNewConnections) {
    fs::copy_file(File("a.pem"), File("site.pem"));
    fs::copy_file(File("a.key"), File("site.key"));
    auto certificates = std::make_shared<TlsCertificates>(File("site.pem"), File("site.key"));
    RequestGate gate("127.0.0.1", 0, GateLimits{}, AnswerPath, nullptr, certificates);
    const std::string url = "https://127.0.0.1:" + std::to_string(gate.port()) + "/hello";
    const std::string scratch = File("reply.txt");
    auto get = [&](const std::string& ca) { return servers::CurlGet(url, scratch, "--cacert '" + File(ca) + "'"); };

    const auto first = get("a.pem");
    EXPECT_EQ(first.status, 200);
    EXPECT_EQ(first.body, "/hello");
    EXPECT_EQ(servers::CurlGet(url, scratch).status, 0) << "a certificate nobody trusts";
    EXPECT_EQ(get("b.pem").status, 0);

    // A reload that fails keeps the certificate; one that works changes it for new connections.
    std::ofstream(File("site.pem"), std::ios::trunc) << "broken\n";
    EXPECT_THROW(certificates->Reload(), std::runtime_error);
    EXPECT_EQ(get("a.pem").status, 200);
    fs::copy_file(File("b.pem"), File("site.pem"), fs::copy_options::overwrite_existing);
    fs::copy_file(File("b.key"), File("site.key"), fs::copy_options::overwrite_existing);
    certificates->Reload();
    EXPECT_EQ(get("b.pem").status, 200);
    EXPECT_EQ(get("a.pem").status, 0);
    EXPECT_EQ(certificates->reloadsOk(), 1);
    EXPECT_EQ(certificates->reloadsFailed(), 1);
}

TEST_F(TlsGateTest, NoHandshakeOrPlainHttpIsClosedWithinTheHeadBoundAndHoldsNoStop) {
    GateLimits limits;
    limits.requestTime = std::chrono::milliseconds(500);
    auto gate = std::make_unique<RequestGate>("127.0.0.1", 0, limits, AnswerPath, nullptr,
                                              std::make_shared<TlsCertificates>(File("a.pem"), File("a.key")));
    const int port = gate->port();
    servers::RawConnection silent(port), plain(port), half(port);
    ASSERT_TRUE(silent.connected() && plain.connected() && half.connected());
    ASSERT_TRUE(plain.Send("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
    // The first bytes of a TLS record (a handshake, version, length) and no more.
    ASSERT_TRUE(half.Send(std::string("\x16\x03\x01\x02\x00", 5)));
    EXPECT_TRUE(ClosedWithin(plain.fd(), std::chrono::seconds(10))) << "plain HTTP on the TLS port";
    EXPECT_TRUE(ClosedWithin(silent.fd(), std::chrono::seconds(10))) << "no ClientHello";
    EXPECT_TRUE(ClosedWithin(half.fd(), std::chrono::seconds(10))) << "an unfinished ClientHello";

    // Still serving afterwards, and a stop with a client mid-handshake is not held by it.
    EXPECT_EQ(servers::CurlGet("https://127.0.0.1:" + std::to_string(port) + "/after", File("reply.txt"),
                               "--cacert '" + File("a.pem") + "'")
                  .status,
              200);
    limits.requestTime = std::chrono::seconds(120);
    gate = std::make_unique<RequestGate>("127.0.0.1", 0, limits, AnswerPath, nullptr,
                                         std::make_shared<TlsCertificates>(File("a.pem"), File("a.key")));
    servers::RawConnection waiting(gate->port());
    ASSERT_TRUE(waiting.Send(std::string("\x16\x03\x01\x02\x00", 5)));
    const auto start = Clock::now();
    gate->Stop();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    EXPECT_TRUE(ClosedWithin(waiting.fd(), std::chrono::seconds(10)));
}

TEST_F(TlsGateTest, AStreamWhoseClientStopsReadingIsCutAtTheStallBound) {
    GateLimits limits;
    limits.writeStall = std::chrono::milliseconds(500);
    std::atomic<int> ended{0};
    // A stream that writes until a write fails (it never asks is_writable()).
    auto stream = [&](httplib::Stream& s, bool) {
        const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n";
        const std::string chunk(64 * 1024, 's');
        bool writing = s.write(head.data(), head.size()) > 0;
        while (writing) writing = s.write(chunk.data(), chunk.size()) > 0;
        ++ended;
        return false;
    };
    RequestGate gate(
        "127.0.0.1", 0, limits, stream, [](const std::string&) { return true; },
        std::make_shared<TlsCertificates>(File("a.pem"), File("a.key")));
    TlsClient client(gate.port(), File("a.pem"));
    ASSERT_TRUE(client.ok());
    ASSERT_TRUE(client.Send("GET /stream HTTP/1.1\r\nHost: x\r\n\r\n"));
    ASSERT_TRUE(servers::Within(std::chrono::seconds(20), [&] { return ended == 1; }))
        << "a TLS stream nobody reads holds its thread";
    EXPECT_EQ(gate.streams(), 0u);
}
