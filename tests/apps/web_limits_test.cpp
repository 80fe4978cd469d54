// The page's limits, against the real program and raw loopback clients: slow clients hold
// neither the end of a run nor a stop, a crowd of slow and idle clients leaves the page
// answering, request heads are bounded (431 before the token's 401, the connection closed
// long before a flood is sent), pipelined requests are all answered in order, a second
// program on the same address fails instead of sharing it, request bodies are refused unread,
// slow readers of a clip are cut, and a request for hundreds of ranges gets 416.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <sstream>

#include <opencv2/imgproc.hpp>

#include "program_harness.h"
#include "support/http_probe.h"
#include "support/servers.h"

using namespace program_test;
using servers::CurlGet;
using servers::Process;

namespace {

constexpr const char* kToken = "s3cret";

using servers::Within;

long ResidentKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

using Client = servers::RawConnection;

// A client that sends a request a byte a second and never finishes it; when the server
// closes the connection it counts the cut and starts over, until destroyed.
class Trickler {
public:
    explicit Trickler(int port) : thread_([this, port] { Run(port); }) {}
    ~Trickler() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    int cuts() const { return cuts_; }
    int bytes() const { return bytes_; }

private:
    void Run(int port) {
        while (!Wait(std::chrono::milliseconds(0))) {
            Client c(port);
            if (!c.connected() || !c.Send("GET /api/cameras HTTP/1.1\r\nHost: x\r\nX-Slow: ")) {
                Wait(std::chrono::milliseconds(200));
                continue;
            }
            while (!Wait(std::chrono::seconds(1))) {
                pollfd p{c.fd(), POLLIN, 0};
                char byte;
                if ((poll(&p, 1, 0) > 0 && recv(c.fd(), &byte, 1, 0) <= 0) || !c.Send("a")) {
                    ++cuts_;
                    break;
                }
                ++bytes_;
            }
        }
    }
    // True once stopped.
    bool Wait(std::chrono::milliseconds time) {
        std::unique_lock<std::mutex> lock(mutex_);
        return wake_.wait_for(lock, time, [this] { return stop_; });
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::atomic<int> cuts_{0}, bytes_{0};
    std::thread thread_;
};

void RaiseFileLimit() {
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::max<rlim_t>(files.rlim_cur, std::min<rlim_t>(files.rlim_max, 4096));
    setrlimit(RLIMIT_NOFILE, &files);
}

// A run that ends its short input at once and keeps serving the page, with a token unless
// told otherwise.
struct ServingRun {
    ServingRun(const fs::path& dir, int port, bool withToken = true)
        : log(dir / "run.log"),
          token(withToken ? std::make_unique<ScopedEnv>("WEAPON_DETECT_HTTP_TOKEN", kToken) : nullptr),
          run(Program({(dir / "clip.avi").string(), "--module", STEADY_MODULE, "-o", (dir / "out.jsonl").string(),
                       "--http", "127.0.0.1:" + std::to_string(port), "--keep-serving"}),
              log.string()) {}
    // True once the input ended and the page is kept: a stop then ends with status 0.
    bool Serving() {
        return Within(std::chrono::seconds(60),
                      [&] { return ReadText(log).find("until stopped") != std::string::npos; });
    }
    fs::path log;
    std::unique_ptr<ScopedEnv> token;
    Process run;
};

std::string Get(const std::string& path, const std::string& extra = "") {
    return "GET " + path + " HTTP/1.1\r\nHost: x\r\n" + extra + "\r\n";
}

}  // namespace

// A client that sends its request a byte a second, for longer than the run lasts, delays
// neither the run's end nor a stop, whether the run is analysing or kept serving; a stop
// during the run does not say it goes on serving.
TEST_F(WeaponDetectTest, SlowClientsHoldNeitherTheEndNorAStop) {
    const ScopedEnv delay("STEADY_MODULE_DELAY_MS", "40");
    struct Case {
        const char* what;
        int frames;
        bool keepServing;
        bool stopWhileServing;  // else a SIGTERM during the analysis, or none (frames short)
        int signal;
        int status;
    };
    const Case cases[] = {
        {"the run ends by itself", 150, false, false, 0, 0},
        {"SIGTERM during the run, with --keep-serving", 3000, true, false, SIGTERM, 130},
        {"SIGTERM while kept serving", 20, true, true, SIGTERM, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path scratch = dir / std::to_string(&c - cases);
        fs::create_directories(scratch);
        WriteSmallVideo(scratch / "clip.avi", c.frames);
        const int port = servers::FreePort();
        std::vector<std::string> args{(scratch / "clip.avi").string(),
                                      "--module",
                                      STEADY_MODULE,
                                      "-o",
                                      (scratch / "out.jsonl").string(),
                                      "--http",
                                      "127.0.0.1:" + std::to_string(port)};
        if (c.keepServing) args.push_back("--keep-serving");
        const fs::path log = scratch / "run.log";
        Process run(Program(args), log.string());
        ASSERT_TRUE(servers::WaitForPort(port, std::chrono::seconds(60))) << ReadText(log);
        const Trickler slow(port);
        if (c.stopWhileServing) {
            ASSERT_TRUE(Within(std::chrono::seconds(60), [&] {
                return ReadText(log).find("until stopped") != std::string::npos;
            })) << ReadText(log);
        }
        // The slow request is under way.
        ASSERT_TRUE(Within(std::chrono::seconds(30), [&] { return slow.bytes() >= 1; }));
        const int status = c.signal ? run.Stop(c.signal, std::chrono::seconds(20)) : run.Wait(std::chrono::seconds(60));
        EXPECT_EQ(status, c.status) << ReadText(log);
        if (!c.stopWhileServing) {
            EXPECT_EQ(ReadText(log).find("until stopped"), std::string::npos) << ReadText(log);
        }
    }
}

// Thirty clients that never finish a request and three hundred idle connections leave the
// page answering a new client at once; every slow request is cut by the request deadline.
TEST_F(WeaponDetectTest, ThePageAnswersBesideSlowAndIdleClients) {
    RaiseFileLimit();
    WriteSmallVideo(dir / "clip.avi", 10);
    const int port = servers::FreePort();
    ServingRun serving(dir, port);
    ASSERT_TRUE(serving.Serving()) << ReadText(dir / "run.log");
    const std::string body = (dir / "body.bin").string(),
                      withToken = std::string("-H 'Authorization: Bearer ") + kToken + "'";
    const std::string cameras = "http://127.0.0.1:" + std::to_string(port) + "/api/cameras";

    std::vector<std::unique_ptr<Trickler>> slow;
    for (int i = 0; i < 30; ++i) slow.push_back(std::make_unique<Trickler>(port));
    ASSERT_TRUE(Within(std::chrono::seconds(30), [&] {
        for (const auto& s : slow) {
            if (s->bytes() < 2) return false;
        }
        return true;
    }));
    EXPECT_EQ(CurlGet(cameras, body, withToken).status, 200) << "beside 30 slow clients";
    EXPECT_TRUE(Within(std::chrono::seconds(40), [&] {
        for (const auto& s : slow) {
            if (s->cuts() < 1) return false;
        }
        return true;
    })) << "a slow request was never cut";

    std::vector<std::unique_ptr<servers::RawConnection>> idle;
    for (int i = 0; i < 300; ++i) idle.push_back(std::make_unique<servers::RawConnection>(port));
    // curl gives up after 10 s: the page answers it beside them, not once they are gone.
    EXPECT_EQ(CurlGet(cameras, body, withToken).status, 200) << "beside 300 idle connections";
    EXPECT_EQ(serving.run.Stop(SIGTERM, std::chrono::seconds(20)), 0) << ReadText(dir / "run.log");
}

// A request head is at most 8 KiB and 100 fields; beyond that 431 (414 for the request line),
// before the token is looked at; a flood of 2 million fields is cut long before it is sent.
TEST_F(WeaponDetectTest, RequestHeadsAreBoundedBeforeTheToken) {
    WriteSmallVideo(dir / "clip.avi", 10);
    const int port = servers::FreePort();
    ServingRun serving(dir, port);
    ASSERT_TRUE(serving.Serving()) << ReadText(dir / "run.log");
    const std::string auth = std::string("Authorization: Bearer ") + kToken + "\r\n";
    auto fields = [](int n) {
        std::string text;
        for (int i = 0; i < n; ++i) text += "X-F" + std::to_string(i) + ": v\r\n";
        return text;
    };
    // A GET of /api/cameras whose whole head is `size` bytes, padded in one field.
    auto headOf = [](size_t size) {
        const std::string start = "GET /api/cameras HTTP/1.1\r\nHost: x\r\nX-Pad: ", end = "\r\n\r\n";
        return start + std::string(size - start.size() - end.size(), 'p') + end;
    };
    struct Case {
        const char* what;
        std::string request;
        int status;
    };
    const Case cases[] = {
        {"100 fields, no token", Get("/api/cameras", fields(99)), 401},
        {"101 fields, no token", Get("/api/cameras", fields(100)), 431},
        {"100 fields with the token", Get("/api/cameras", auth + fields(98)), 200},
        {"101 fields with the token", Get("/api/cameras", auth + fields(99)), 431},
        {"a head of 8192 bytes", headOf(8192), 401},
        {"a head of 8193 bytes", headOf(8193), 431},
        {"a field of 9000 bytes with the token",
         Get("/api/cameras", auth + "X-Big: " + std::string(9000, 'b') + "\r\n"), 431},
        {"a request line of 9000 bytes", Get("/api/cameras?" + std::string(9000, 'q')), 414},
    };
    for (const Case& c : cases) {
        Client client(port);
        ASSERT_TRUE(client.connected());
        client.Send(c.request);
        EXPECT_EQ(client.ReadStatus(std::chrono::seconds(10)), c.status) << c.what;
    }

    // Two million small fields (102 MB), sent as fast as the server takes them while reading
    // its answer: 431, and the connection closed long before the flood is through.
    const long before = ResidentKiB(serving.run.pid());
    Client flood(port);
    ASSERT_TRUE(flood.connected());
    fcntl(flood.fd(), F_SETFL, fcntl(flood.fd(), F_GETFL) | O_NONBLOCK);
    std::string chunk;
    while (chunk.size() < 65536) chunk += "X-Flood-Field-Of-Fifty-One-Bytes: 0123456789abc\r\n";
    const size_t total = 2000000 * 51;
    std::string request = "GET /api/cameras HTTP/1.1\r\nHost: x\r\n", answer;
    size_t sent = 0, offset = 0;
    bool closed = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!closed && std::chrono::steady_clock::now() < deadline) {
        pollfd p{flood.fd(), static_cast<short>(POLLIN | (sent < total ? POLLOUT : 0)), 0};
        if (poll(&p, 1, 100) <= 0) continue;
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            char buffer[4096];
            const ssize_t n = recv(flood.fd(), buffer, sizeof buffer, 0);
            if (n > 0) answer.append(buffer, static_cast<size_t>(n));
            if (n == 0 || (n < 0 && errno != EAGAIN)) closed = true;
        } else if (p.revents & POLLOUT) {
            const std::string& bytes = request.empty() ? chunk : request;
            const ssize_t n = send(flood.fd(), bytes.data() + offset, bytes.size() - offset, MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN) closed = true;
            if (n > 0) {
                sent += static_cast<size_t>(n);
                offset += static_cast<size_t>(n);
                if (offset == bytes.size()) {
                    offset = 0;
                    request.clear();
                }
            }
        }
    }
    EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 431") << answer.substr(0, 200);
    EXPECT_TRUE(closed);
    EXPECT_LT(sent, total / 4) << "the server read the flood";
    const long after = ResidentKiB(serving.run.pid());
    EXPECT_LT(after - before, 64 * 1024) << "KiB resident before " << before << ", after " << after;

    EXPECT_EQ(serving.run.Stop(SIGTERM, std::chrono::seconds(20)), 0) << ReadText(dir / "run.log");
}

// Requests sent back to back on one connection are all answered, in order; a body is never
// read as a request.
TEST_F(WeaponDetectTest, PipelinedRequestsAreAllAnsweredInOrder) {
    WriteSmallVideo(dir / "clip.avi", 10);
    const int port = servers::FreePort();
    ServingRun serving(dir, port);
    ASSERT_TRUE(serving.Serving()) << ReadText(dir / "run.log");
    const std::string auth = std::string("Authorization: Bearer ") + kToken + "\r\n";
    Client client(port);
    ASSERT_TRUE(client.connected());
    client.Send(Get("/api/cameras", auth) + Get("/nowhere", auth) + Get("/metrics", auth + "Connection: close\r\n"));
    bool closed = false;
    const std::string answer = client.ReadUntilClosed(std::chrono::seconds(20), &closed);
    EXPECT_TRUE(closed);
    const size_t first = answer.find("HTTP/1.1 200"), second = answer.find("HTTP/1.1 404"),
                 third = answer.find("HTTP/1.1 200", first + 1);
    ASSERT_NE(first, std::string::npos) << answer;
    ASSERT_NE(second, std::string::npos) << answer;
    ASSERT_NE(third, std::string::npos) << answer;
    EXPECT_LT(first, answer.find("\"index\":0"));
    EXPECT_LT(answer.find("\"index\":0"), second);
    EXPECT_LT(second, third);
    EXPECT_LT(third, answer.find("weapon_detect_frames_read_total"));

    // A body is never taken for the next request: the page takes none, and closes.
    const std::string hidden = Get("/metrics", auth);
    Client withBody(port);
    withBody.Send(Get("/api/cameras", auth + "Content-Length: " + std::to_string(hidden.size()) + "\r\n") + hidden);
    const std::string one = withBody.ReadUntilClosed(std::chrono::seconds(20), &closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(one.find("HTTP/1.1", 1), std::string::npos) << one;
    EXPECT_NE(one.find("Connection: close"), std::string::npos) << one;
    EXPECT_EQ(serving.run.Stop(SIGTERM, std::chrono::seconds(20)), 0) << ReadText(dir / "run.log");
}

// A second program on the page's address fails at start, and the first keeps serving.
TEST_F(WeaponDetectTest, ASecondProgramOnTheSameAddressFails) {
    WriteSmallVideo(dir / "clip.avi", 10);
    const int port = servers::FreePort();
    ServingRun serving(dir, port);
    ASSERT_TRUE(serving.Serving()) << ReadText(dir / "run.log");
    Process second(Program({(dir / "clip.avi").string(), "--module", STEADY_MODULE, "-o",
                            (dir / "second.jsonl").string(), "--http", "127.0.0.1:" + std::to_string(port)}),
                   (dir / "second.log").string());
    EXPECT_EQ(second.Wait(std::chrono::seconds(60)), 1) << ReadText(dir / "second.log");
    const std::string said = ReadText(dir / "second.log");
    EXPECT_NE(said.find("address already in use"), std::string::npos) << said;
    EXPECT_NE(said.find("127.0.0.1:" + std::to_string(port)), std::string::npos) << said;
    EXPECT_EQ(CurlGet("http://127.0.0.1:" + std::to_string(port) + "/api/cameras?token=" + kToken,
                      (dir / "body.bin").string())
                  .status,
              200);
    EXPECT_EQ(serving.run.Stop(SIGTERM, std::chrono::seconds(20)), 0) << ReadText(dir / "run.log");
}

// A request with a body, chunked or of a large length, gets 413 before any of the body is
// read: the connection closes long before 300 MiB are sent, and the program's memory stays.
// Without a token, as nothing refuses the request before its body would be read.
TEST_F(WeaponDetectTest, RequestBodiesAreRefusedUnread) {
    WriteSmallVideo(dir / "clip.avi", 10);
    const int port = servers::FreePort();
    ServingRun serving(dir, port, false);
    ASSERT_TRUE(serving.Serving()) << ReadText(dir / "run.log");
    const size_t total = 300u << 20;
    struct Case {
        const char* what;
        std::string head;
        std::string chunk;  // sent again and again after the head
    };
    const Case cases[] = {
        {"a chunked POST", "POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n",
         "100000\r\n" + std::string(1 << 20, 'b') + "\r\n"},
        {"a POST of 300 MiB", "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(total) + "\r\n\r\n",
         std::string(1 << 20, 'b')},
    };
    for (const Case& c : cases) {
        const long before = ResidentKiB(serving.run.pid());
        Client client(port);
        ASSERT_TRUE(client.connected());
        fcntl(client.fd(), F_SETFL, fcntl(client.fd(), F_GETFL) | O_NONBLOCK);
        std::string answer;
        size_t sent = 0, offset = 0;
        bool closed = false, head = true;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!closed && std::chrono::steady_clock::now() < deadline) {
            pollfd p{client.fd(), static_cast<short>(POLLIN | (sent < total ? POLLOUT : 0)), 0};
            if (poll(&p, 1, 100) <= 0) continue;
            if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
                char buffer[4096];
                const ssize_t n = recv(client.fd(), buffer, sizeof buffer, 0);
                if (n > 0) answer.append(buffer, static_cast<size_t>(n));
                if (n == 0 || (n < 0 && errno != EAGAIN)) closed = true;
            } else if (p.revents & POLLOUT) {
                const std::string& bytes = head ? c.head : c.chunk;
                const ssize_t n = send(client.fd(), bytes.data() + offset, bytes.size() - offset, MSG_NOSIGNAL);
                if (n < 0 && errno != EAGAIN) closed = true;
                if (n > 0) {
                    sent += static_cast<size_t>(n);
                    offset += static_cast<size_t>(n);
                    if (offset == bytes.size()) {
                        offset = 0;
                        head = false;
                    }
                }
            }
        }
        EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 413") << c.what << ": " << answer.substr(0, 200);
        EXPECT_TRUE(closed) << c.what;
        EXPECT_LT(sent, total / 4) << c.what << ": the server read the body";
        const long after = ResidentKiB(serving.run.pid());
        EXPECT_LT(after - before, 64 * 1024) << c.what << ": KiB resident before " << before << ", after " << after;
    }
    EXPECT_EQ(serving.run.Stop(SIGTERM, std::chrono::seconds(20)), 0) << ReadText(dir / "run.log");
}

// Eight clients reading a clip a little at a time, with small receive buffers, hold the page's
// threads only until their answers' deadlines: a new client is answered meanwhile (503 once it
// waited too long for a thread), and afterwards as usual. A request for the clip listing
// hundreds of ranges gets 416 rather than the clip hundreds of times.
TEST_F(WeaponDetectTest, SlowClipReadersAndManyRangesAreBounded) {
    const int port = servers::FreePort();
    const std::string base = "http://127.0.0.1:" + std::to_string(port);
    const fs::path log = dir / "run.log", body = dir / "body.bin";
    Process run(Program({"--demo", "--output-dir", (dir / "demo").string(), "--http",
                         "127.0.0.1:" + std::to_string(port), "--keep-serving", "-q"}),
                log.string());
    std::string clip;
    ASSERT_TRUE(Within(std::chrono::seconds(300), [&] {
        const auto reply = CurlGet(base + "/api/events", body.string());
        if (reply.status != 200) return false;
        const auto events = nlohmann::json::parse(reply.body)["events"];
        if (events.empty() || events[0]["clip_state"] != "ready") return false;
        clip = events[0]["clip"].get<std::string>();
        return true;
    })) << ReadText(log);

    std::vector<int> slow;
    for (int i = 0; i < 8; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int size = 2048;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        slow.push_back(fd);
        const std::string request = Get(clip);
        ASSERT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    }
    // 512 bytes every 100 ms each: steady progress, a few KiB a second.
    std::atomic<bool> stop{false};
    std::atomic<int> open{8}, reading{0};
    std::thread reader([&] {
        std::vector<bool> done(slow.size()), begun(slow.size());
        char buffer[512];
        while (!stop && open > 0) {
            for (size_t i = 0; i < slow.size(); ++i) {
                if (done[i]) continue;
                const ssize_t n = recv(slow[i], buffer, sizeof buffer, MSG_DONTWAIT);
                if (n > 0 && !begun[i]) {
                    begun[i] = true;
                    ++reading;
                }
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
                    done[i] = true;
                    --open;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    const bool allReading = Within(std::chrono::seconds(30), [&] { return reading == 8; });
    Client beside(port);
    beside.Send(Get("/api/cameras"));
    const int status = beside.ReadStatus(std::chrono::seconds(90));
    const bool cut = Within(std::chrono::seconds(90), [&] { return open == 0; });
    stop = true;
    reader.join();
    for (const int fd : slow) close(fd);
    EXPECT_TRUE(allReading) << "the clip never came to every slow reader";
    EXPECT_TRUE(status == 200 || status == 503) << "beside 8 slow readers: " << status;
    EXPECT_TRUE(cut) << "slow readers held their answers";
    EXPECT_EQ(CurlGet(base + "/api/cameras", body.string()).status, 200) << "after the slow readers";

    std::string ranges = "Range: bytes=0-";
    for (int i = 0; i < 500; ++i) ranges += ",0-";
    Client many(port);
    many.Send(Get(clip, ranges + "\r\n"));
    bool closed = false;
    const std::string answer = many.ReadUntilClosed(std::chrono::seconds(20), &closed);
    EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 416") << answer.substr(0, 200);
    EXPECT_TRUE(closed);
    EXPECT_LT(answer.size(), 4096u);
    const int stopped = run.Stop(SIGTERM, std::chrono::seconds(20));  // 130 when still analysing
    EXPECT_TRUE(stopped == 0 || stopped == 130) << stopped << ReadText(log);
}
