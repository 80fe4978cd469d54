// The parts behind the page's streams on their own: long-lived answers through the request
// gate (their own threads, the stall bound without the answer deadline, their bound, a stop),
// the event feed's fan-out with its bounds, and the live view's demand and viewer bounds.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>
#include <httplib.h>

#include "support/request_head.h"
#include "support/servers.h"
#include "web/event_feed.h"
#include "web/live_view.h"
#include "web/request_gate.h"

using namespace weapon_detect;
using Clock = std::chrono::steady_clock;

namespace {

using servers::Within;

int Connect(int port, int receiveBuffer = 0) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    // Set before connecting, so that the window stays small.
    if (receiveBuffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) ADD_FAILURE() << "no connection";
    return fd;
}

void Send(int fd, const std::string& path) {
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
}

// What arrives until `ms` pass without a byte, `total` ms pass, or the peer closes (`closed`).
std::string Drain(int fd, int ms, bool* closed = nullptr, int total = 10000) {
    std::string got;
    char buffer[65536];
    pollfd p{fd, POLLIN, 0};
    const auto deadline = Clock::now() + std::chrono::milliseconds(total);
    while (Clock::now() < deadline && poll(&p, 1, ms) > 0) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            if (closed) *closed = true;
            break;
        }
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

// "/tick" streams a line every 20 ms while it may; "/flood" streams 64 KiB writes until a write
// fails; "/hold" waits in slices for the stop; "/short" is a short answer with its path, after
// which the connection closes.
// The gate decides which are streams: every path but "/short".
struct StreamingGate {
    explicit StreamingGate(GateLimits limits)
        : gate(
              "127.0.0.1", 0, limits, [this](httplib::Stream& s, bool last) { return Handle(s, last); },
              [](const std::string& target) { return target != "/short"; }) {}

    bool Handle(httplib::Stream& stream, bool) {
        std::string path;
        if (!handlers::ReadRequestPath(stream, path)) return false;
        if (!RequestGate::InStream()) {
            const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(path.size()) +
                                       "\r\nConnection: close\r\n\r\n" + path;
            stream.write(answer.data(), answer.size());
            return false;
        }
        ++streaming;
        const std::string start = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n";
        bool ok = stream.write(start.data(), start.size()) > 0;
        const std::string chunk(64 * 1024, 'f');
        while (ok) {
            if (path == "/flood") {
                ok = stream.write(chunk.data(), chunk.size()) > 0;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                ok = stream.is_writable() && (path == "/hold" || stream.write("tick\n", 5) == 5);
            }
        }
        --streaming;
        ++ended;
        return false;
    }

    std::atomic<int> streaming{0}, ended{0};
    RequestGate gate;
};

}  // namespace

// A stream outlives the whole-answer deadline and holds no worker: with one worker busy
// streaming nothing, short requests are still answered.
TEST(GateStreams, AStreamOutlivesTheAnswerDeadlineOnAThreadOfItsOwn) {
    GateLimits limits;
    limits.workers = 1;
    limits.answerTime = std::chrono::milliseconds(300);
    limits.minRate = 1 << 30;  // a short answer's deadline would be its stall bound alone
    StreamingGate g(limits);
    const int streamFd = Connect(g.gate.port());
    Send(streamFd, "/tick");
    ASSERT_TRUE(Within(std::chrono::seconds(10), [&] { return g.streaming == 1; }));
    for (int i = 0; i < 3; ++i) {
        const int fd = Connect(g.gate.port());
        Send(fd, "/short");
        EXPECT_NE(Drain(fd, 5000).find("\r\n\r\n/short"), std::string::npos);
        close(fd);
    }
    // Ticks keep coming long after the answer deadline.
    const std::string got = Drain(streamFd, 1000, nullptr, 1500);
    EXPECT_GT(got.size(), 40u * 5) << got;
    EXPECT_EQ(g.streaming, 1) << "the stream was cut";
    close(streamFd);
    // The client left: the stream notices and ends, its thread collected.
    EXPECT_TRUE(Within(std::chrono::seconds(10), [&] { return g.ended == 1; }));
    EXPECT_TRUE(Within(std::chrono::seconds(10), [&] { return g.gate.streams() == 0; }));
}

// A client that stops reading is dropped after the stall bound; beyond the streams' bound a
// request gets 503 with a JSON error; a stop ends every stream without waiting on its client.
TEST(GateStreams, StallsAreCutTheBoundAnswers503AndAStopEndsStreamsAtOnce) {
    GateLimits limits;
    limits.streams = 3;
    limits.writeStall = std::chrono::milliseconds(300);
    StreamingGate g(limits);

    const int stalled = Connect(g.gate.port(), 4096);
    Send(stalled, "/flood");
    ASSERT_TRUE(Within(std::chrono::seconds(10), [&] { return g.ended == 1; })) << "a non-reader held its stream";

    const int holding1 = Connect(g.gate.port()), holding2 = Connect(g.gate.port());
    const int flooding = Connect(g.gate.port(), 4096);
    Send(holding1, "/hold");
    Send(holding2, "/hold");
    Send(flooding, "/flood");
    ASSERT_TRUE(Within(std::chrono::seconds(10), [&] { return g.streaming == 3; }));
    const int refused = Connect(g.gate.port());
    Send(refused, "/hold");
    const std::string answer = Drain(refused, 5000);
    EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 503") << answer;
    EXPECT_NE(answer.find("application/json"), std::string::npos) << answer;
    EXPECT_NE(answer.find("{\"error\":"), std::string::npos) << answer;

    const auto start = Clock::now();
    g.gate.Stop();
    // The streams wait in slices of 20 ms here; the ceiling is loose for a loaded machine.
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(g.streaming, 0);
    for (const int fd : {holding1, holding2}) {
        bool closed = false;
        Drain(fd, 5000, &closed);
        EXPECT_TRUE(closed);
    }
    for (const int fd : {stalled, holding1, holding2, flooding, refused}) close(fd);
}

TEST(EventFeedTest, MessagesReachEverySubscriberInOrderAndALaggardIsClosed) {
    EventFeed feed;
    auto reader = feed.Subscribe();
    auto laggard = feed.Subscribe();
    ASSERT_TRUE(reader && laggard);
    EXPECT_EQ(reader->since(), 0);
    feed.Publish("event", {{"id", 7}, {"camera", "gate"}});
    feed.Publish("camera", {{"state", "offline"}, {"reason", "a\nb"}});
    const auto soon = [] { return Clock::now() + std::chrono::seconds(1); };
    auto first = reader->Next(soon());
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, "id: 1\nevent: event\ndata: {\"id\":7,\"camera\":\"gate\"}\n\n");
    auto second = reader->Next(soon());
    ASSERT_TRUE(second);
    // A line break inside the data stays escaped: one data field.
    EXPECT_EQ(*second, "id: 2\nevent: camera\ndata: {\"state\":\"offline\",\"reason\":\"a\\nb\"}\n\n");
    EXPECT_EQ(reader->Next(Clock::now() + std::chrono::milliseconds(20)), nullptr);
    EXPECT_FALSE(reader->closed());

    // The laggard never reads: past the queue's bound it is closed, the reader is not, and
    // publishing never waited on it.
    const auto start = Clock::now();
    for (size_t i = 0; i < EventFeed::kQueueLimit + 10; ++i) {
        feed.Publish("event", {{"id", i}});
        if (i % 100 == 0) {
            while (reader->Next(Clock::now())) {
            }
        }
    }
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(laggard->closed());
    EXPECT_EQ(laggard->Next(Clock::now()), nullptr);
    EXPECT_FALSE(reader->closed());
    EXPECT_EQ(feed.overflowed(), 1);
    auto late = feed.Subscribe();
    ASSERT_TRUE(late);
    EXPECT_EQ(late->since(), feed.published());
}

TEST(EventFeedTest, SubscribersAreBoundedAndACloseLetsTheQueuedOut) {
    EventFeed feed;
    std::vector<std::unique_ptr<EventFeed::Subscription>> all;
    for (size_t i = 0; i < EventFeed::kMaxSubscribers; ++i) all.push_back(feed.Subscribe());
    EXPECT_EQ(feed.Subscribe(), nullptr);
    all.pop_back();
    EXPECT_NE(feed.Subscribe(), nullptr) << "a place given back is taken again";
    EXPECT_EQ(feed.subscribers(), EventFeed::kMaxSubscribers - 1);

    // What was queued before the close still comes, then nothing.
    feed.Publish("camera", {{"state", "finished"}});
    feed.Close();
    EXPECT_NE(all.back()->Next(Clock::now()), nullptr);
    EXPECT_EQ(all.back()->Next(Clock::now()), nullptr);
    EXPECT_TRUE(all.back()->closed());
    EXPECT_EQ(feed.Subscribe(), nullptr);
}

TEST(EventFeedTest, CloseWakesAWaitingSubscriber) {
    EventFeed feed;
    auto waiter = feed.Subscribe();
    std::atomic<bool> woke{false};
    std::thread waiting([&] {
        waiter->Next(Clock::now() + std::chrono::seconds(60));
        woke = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto start = Clock::now();
    feed.Close();
    waiting.join();
    EXPECT_TRUE(woke);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(waiter->closed());
}

// The end waits for a reader to take its last message and leave, and only so long for one
// that reads nothing.
TEST(EventFeedTest, AtTheEndTheFeedWaitsForReadersToTakeTheirLastMessage) {
    EventFeed feed;
    auto reader = feed.Subscribe();
    auto stalled = feed.Subscribe();
    std::atomic<bool> gotLast{false};
    std::thread reading([&] {
        while (auto text = reader->Next(Clock::now() + std::chrono::seconds(60))) {
            gotLast = text->find("finished") != std::string::npos;
        }
        reader.reset();
    });
    feed.Publish("camera", {{"state", "finished"}});
    feed.Close();
    EXPECT_FALSE(feed.WaitEmpty(Clock::now() + std::chrono::milliseconds(200))) << "one reads nothing";
    stalled.reset();
    EXPECT_TRUE(feed.WaitEmpty(Clock::now() + std::chrono::seconds(60)));
    reading.join();
    EXPECT_TRUE(gotLast);
}

// Nobody watching, nothing is asked of the encoder; a viewer asks for the live rate, a still
// for its slower one; the viewers are bounded per camera and over every camera.
TEST(LiveViewTest, JpegsAreAskedForOnlyWhileWatchedAndViewersAreBounded) {
    ViewerBound all(LiveView::kViewersInAll);
    std::vector<std::unique_ptr<LiveView>> cameras;
    for (int i = 0; i < 5; ++i) cameras.push_back(std::make_unique<LiveView>(4, &all));
    LiveView& first = *cameras.front();
    EXPECT_EQ(first.Interval(), 0.0);
    {
        auto viewer = first.Watch();
        ASSERT_TRUE(viewer);
        EXPECT_DOUBLE_EQ(first.Interval(), 0.25);
    }
    EXPECT_EQ(first.Interval(), 0.0) << "a viewer that left still asks";

    std::vector<std::unique_ptr<LiveView::Viewer>> viewers;
    for (size_t i = 0; i < LiveView::kViewersPerCamera; ++i) viewers.push_back(first.Watch());
    EXPECT_EQ(first.Watch(), nullptr) << "a fifth viewer of one camera";
    for (size_t c = 1; c < cameras.size(); ++c) {
        while (auto v = cameras[c]->Watch()) viewers.push_back(std::move(v));
    }
    EXPECT_EQ(viewers.size(), LiveView::kViewersInAll);
    EXPECT_EQ(all.taken(), LiveView::kViewersInAll);
    EXPECT_LT(cameras.back()->viewers(), LiveView::kViewersPerCamera) << "the bound over all cameras";
    viewers.clear();
    EXPECT_EQ(all.taken(), 0u);

    // A viewer gets each JPEG once, shared, in order.
    auto jpeg = std::make_shared<const std::vector<unsigned char>>(3, 0xff);
    unsigned long long seen = 0;
    first.Set(jpeg);
    EXPECT_EQ(first.Next(seen, Clock::now()), jpeg);
    EXPECT_EQ(first.Next(seen, Clock::now() + std::chrono::milliseconds(20)), nullptr);
    EXPECT_EQ(first.frames(), 1);

    // A still asked for: stills are made for a while, and the newest one is given.
    EXPECT_EQ(first.Still(std::chrono::milliseconds(0)), jpeg);
    EXPECT_DOUBLE_EQ(first.Interval(), LiveView::kStillInterval);

    // A closed view wakes its waiter and takes no viewer.
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        first.Close();
    });
    const auto start = Clock::now();
    EXPECT_EQ(first.Next(seen, Clock::now() + std::chrono::seconds(60)), nullptr);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    closer.join();
    EXPECT_EQ(first.Watch(), nullptr);
}
