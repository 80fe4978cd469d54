// The page's streams against the real program: the event stream (/api/stream) says hello,
// then each event as its record is written and each camera state; the live view
// (/api/cameras/N/live.mjpeg) sends distinct JPEGs at no more than --live-fps, only while
// watched, to a bounded number of viewers; clients that stop reading are dropped; a stop with
// every kind of client attached ends promptly.
#include <sys/socket.h>

#include <map>
#include <set>
#include <regex>

#include <opencv2/imgcodecs.hpp>

#include "program_harness.h"
#include "support/http_probe.h"
#include "support/servers.h"

using namespace program_test;
using servers::CurlGet;
using servers::Process;
using Clock = std::chrono::steady_clock;

namespace {

using servers::Within;

std::string Url(int port, const std::string& path) { return "http://127.0.0.1:" + std::to_string(port) + path; }

// A client streaming an answer into a file through curl, until stopped or `seconds` passed.
std::unique_ptr<Process> Stream(const std::string& url, const fs::path& file, int seconds = 120) {
    fs::remove(file);
    return std::make_unique<Process>(std::vector<std::string>{"curl", "-s", "-N", "--max-time", std::to_string(seconds),
                                                              "-o", file.string(), url},
                                     file.string() + ".log");
}

struct SseMessage {
    std::string type;
    nlohmann::json data;
};

// The whole messages of an event stream so far.
std::vector<SseMessage> SseMessages(const fs::path& file) {
    std::vector<SseMessage> messages;
    const std::string text = ReadText(file);
    size_t start = 0;
    for (size_t end; (end = text.find("\n\n", start)) != std::string::npos; start = end + 2) {
        SseMessage m;
        std::istringstream lines(text.substr(start, end - start));
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("event: ", 0) == 0) m.type = line.substr(7);
            if (line.rfind("data: ", 0) == 0) m.data = nlohmann::json::parse(line.substr(6));
        }
        if (!m.type.empty()) messages.push_back(std::move(m));
    }
    return messages;
}

// The JPEG parts of a multipart/x-mixed-replace answer.
std::vector<std::string> JpegParts(const std::string& text) {
    std::vector<std::string> parts;
    const std::string marker = "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: ";
    for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + 1)) {
        const size_t lengthAt = at + marker.size();
        const size_t body = text.find("\r\n\r\n", lengthAt);
        if (body == std::string::npos) break;
        const size_t length = std::stoul(text.substr(lengthAt, body - lengthAt));
        if (body + 4 + length > text.size()) break;  // cut short at the end of the window
        parts.push_back(text.substr(body + 4, length));
    }
    return parts;
}

// A sample of /metrics, -1 when missing.
double Metric(int port, const fs::path& scratch, const std::string& sample) {
    const auto reply = CurlGet(Url(port, "/metrics"), scratch.string());
    const size_t at = reply.body.find("\n" + sample + " ");
    return at == std::string::npos ? -1 : std::stod(reply.body.substr(at + sample.size() + 2));
}

// A raw client that asks for `path` and then never reads, with a small receive window.
class NonReader {
public:
    NonReader(int port, const std::string& path) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        const int window = 4096;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const std::string request = "GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n";
        ok_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
              send(fd_, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
    }
    ~NonReader() { close(fd_); }
    NonReader(const NonReader&) = delete;
    NonReader& operator=(const NonReader&) = delete;
    bool ok() const { return ok_; }

private:
    int fd_;
    bool ok_ = false;
};

}  // namespace

TEST_F(WeaponDetectTest, EventStreamAndLiveViewFollowTheRunAndHoldNoStop) {
    // A test pattern played as a camera: the steady module reports a weapon in every third
    // frame, so with --quiet-time 0 events end several times a second. A second camera that
    // is never there fails, with its reason.
    Process ffmpeg({"ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                    "testsrc=size=640x360:rate=25", "-t", "4", "-c:v", "mjpeg", "-q:v", "5",
                    (dir / "clip.avi").string()},
                   (dir / "ffmpeg.log").string());
    ASSERT_EQ(ffmpeg.Wait(std::chrono::seconds(120)), 0);
    const int port = servers::FreePort(), nobody = servers::FreePort();
    const fs::path out = dir / "out.jsonl", scratch = dir / "scratch.bin";
    Process run(Program({(dir / "clip.avi").string(),
                         "--camera-id",
                         "gate",
                         "http://127.0.0.1:" + std::to_string(nobody) + "/live",
                         "--camera-id",
                         "dead",
                         "--realtime",
                         "--loop",
                         "--max-reconnects",
                         "0",
                         "--quiet-time",
                         "0",
                         "--module",
                         STEADY_MODULE,
                         "-q",
                         "-o",
                         out.string(),
                         "--snapshots",
                         (dir / "snaps").string(),
                         "--no-clips",
                         "--live-fps",
                         "4",
                         "--http",
                         "127.0.0.1:" + std::to_string(port)}),
                (dir / "run.log").string());
    ASSERT_TRUE(servers::WaitForPort(port, std::chrono::seconds(60)));

    // Nobody watches: frames are analysed, and no live JPEG is made.
    ASSERT_TRUE(Within(std::chrono::seconds(60), [&] {
        const auto reply = CurlGet(Url(port, "/api/cameras"), scratch.string());
        return reply.status == 200 && nlohmann::json::parse(reply.body)[0]["analysed"].get<long long>() > 50;
    }));
    EXPECT_EQ(Metric(port, scratch, "weapon_detect_live_frames_total{camera=\"gate\"}"), 0);

    // The dead camera's card says why.
    ASSERT_TRUE(Within(std::chrono::seconds(60), [&] {
        const auto cameras = nlohmann::json::parse(CurlGet(Url(port, "/api/cameras"), scratch.string()).body);
        return cameras[1]["state"] == "failed";
    }));
    const auto cameras = nlohmann::json::parse(CurlGet(Url(port, "/api/cameras"), scratch.string()).body);
    EXPECT_NE(cameras[1]["reason"].get<std::string>(), "") << cameras.dump();
    EXPECT_EQ(cameras[0]["reason"], "");
    EXPECT_EQ(cameras[0]["live_mjpeg"], "/api/cameras/0/live.mjpeg");
    EXPECT_GE(cameras[0]["open_events"].get<int>(), 0);

    // The event stream: a hello that makes a page whole, then every event as it changes.
    const fs::path sse = dir / "sse.txt";
    auto events = Stream(Url(port, "/api/stream"), sse);
    ASSERT_TRUE(Within(std::chrono::seconds(30), [&] { return !SseMessages(sse).empty(); }));
    const SseMessage hello = SseMessages(sse).front();
    ASSERT_EQ(hello.type, "hello");
    ASSERT_EQ(hello.data["cameras"].size(), 2u);
    EXPECT_EQ(hello.data["cameras"][1]["state"], "failed");
    EXPECT_TRUE(hello.data["events_open"].is_array());
    EXPECT_TRUE(hello.data["deliveries"].is_array());
    EXPECT_NE(ReadText(sse).find("\nid: "), std::string::npos);

    // An ended event's message arrives within 2 s of its record (both looked at every 20 ms),
    // for events that began after the stream did (their start came through it).
    std::map<double, Clock::time_point> recordSeen, messageSeen;
    Within(std::chrono::seconds(30), [&] {
        const auto now = Clock::now();
        std::set<double> started;
        for (const SseMessage& m : SseMessages(sse)) {
            if (m.type != "event") continue;
            const double start = m.data["start_time"].get<double>();
            if (m.data["phase"] == "start") started.insert(start);
            if (m.data["phase"] == "end" && started.count(start)) messageSeen.emplace(start, now);
        }
        for (const auto& r : OutputSoFar(out)) {
            if (r["type"] == "event" && started.count(r["start_time"].get<double>())) {
                recordSeen.emplace(r["start_time"].get<double>(), now);
            }
        }
        return recordSeen.size() >= 3 && messageSeen.size() >= 3;
    });
    ASSERT_GE(recordSeen.size(), 3u) << ReadText(sse).substr(0, 3000);
    for (const auto& [start, when] : recordSeen) {
        ASSERT_TRUE(messageSeen.count(start)) << "no message for the event at " << start;
        EXPECT_LT(messageSeen[start] - when, std::chrono::seconds(2)) << "the event at " << start;
    }

    // The live view: distinct JPEGs with the detections drawn, at no more than 4 a second.
    const fs::path mjpeg = dir / "live.mjpeg";
    const auto watchStart = Clock::now();
    {
        auto viewer = Stream(Url(port, "/api/cameras/0/live.mjpeg"), mjpeg, 4);
        EXPECT_EQ(viewer->Wait(std::chrono::seconds(30)), 28) << "curl ends at its --max-time";
    }
    const double watched = std::chrono::duration<double>(Clock::now() - watchStart).count();
    const std::vector<std::string> parts = JpegParts(ReadText(mjpeg));
    EXPECT_GE(parts.size(), 3u);
    EXPECT_LE(static_cast<double>(parts.size()), 4 * watched + 2) << "over " << watched << " s";
    std::set<std::string> distinct(parts.begin(), parts.end());
    EXPECT_GE(distinct.size(), 3u);
    for (const std::string& part : parts) {
        const cv::Mat image = cv::imdecode(std::vector<unsigned char>(part.begin(), part.end()), cv::IMREAD_COLOR);
        ASSERT_FALSE(image.empty());
        EXPECT_EQ(image.cols, 640);
    }
    EXPECT_GE(Metric(port, scratch, "weapon_detect_live_frames_total{camera=\"gate\"}"), parts.size());
    ASSERT_TRUE(Within(std::chrono::seconds(30), [&] {
        return Metric(port, scratch, "weapon_detect_live_viewers{camera=\"gate\"}") == 0;
    })) << "the viewer that ended kept its place";
    // The still, asked for on its own.
    const auto still = CurlGet(Url(port, "/api/cameras/0/live.jpg"), scratch.string());
    EXPECT_EQ(still.status, 200);
    EXPECT_EQ(still.body.substr(0, 2), "\xff\xd8");

    // Four viewers of a camera at most: a fifth is answered 503 with a JSON error.
    std::vector<std::unique_ptr<Process>> viewers;
    for (int i = 0; i < 4; ++i)
        viewers.push_back(Stream(Url(port, "/api/cameras/0/live.mjpeg"), dir / ("v" + std::to_string(i))));
    ASSERT_TRUE(Within(std::chrono::seconds(30),
                       [&] { return Metric(port, scratch, "weapon_detect_live_viewers{camera=\"gate\"}") == 4; }))
        << Metric(port, scratch, "weapon_detect_live_viewers{camera=\"gate\"}") << " viewers; "
        << ReadText(dir / "v0.log") << ReadText(dir / "v3.log");
    const auto fifth = CurlGet(Url(port, "/api/cameras/0/live.mjpeg"), scratch.string());
    EXPECT_EQ(fifth.status, 503);
    EXPECT_TRUE(nlohmann::json::parse(fifth.body).contains("error")) << fifth.body;
    viewers.pop_back();
    ASSERT_TRUE(Within(std::chrono::seconds(30),
                       [&] { return Metric(port, scratch, "weapon_detect_live_viewers{camera=\"gate\"}") == 3; }))
        << "a viewer that left kept its place: " << Metric(port, scratch, "weapon_detect_live_viewers{camera=\"gate\"}")
        << " viewers";

    // A viewer that stops reading is dropped: its place is free again while it stays connected.
    NonReader stalled(port, "/api/cameras/0/live.mjpeg");
    NonReader silentEvents(port, "/api/stream");
    ASSERT_TRUE(stalled.ok() && silentEvents.ok());
    ASSERT_TRUE(Within(std::chrono::seconds(10),
                       [&] { return Metric(port, scratch, "weapon_detect_live_viewers{camera=\"gate\"}") == 4; }))
        << Metric(port, scratch, "weapon_detect_live_viewers{camera=\"gate\"}") << " viewers; "
        << ReadText(dir / "v0.log") << ReadText(dir / "v3.log");
    EXPECT_TRUE(Within(std::chrono::seconds(60), [&] {
        return Metric(port, scratch, "weapon_detect_live_viewers{camera=\"gate\"}") == 3;
    })) << "a viewer that reads nothing kept its place";

    // A stop with readers, a non-reader and the event streams attached ends promptly, and the
    // event stream says the camera finished.
    const auto stopAt = Clock::now();
    kill(run.pid(), SIGINT);
    run.Wait(std::chrono::seconds(60));
    EXPECT_LT(Clock::now() - stopAt, std::chrono::seconds(20)) << ReadText(dir / "run.log");
    EXPECT_TRUE(Within(std::chrono::seconds(10), [&] { return !events->running(); }));
    bool finished = false;
    for (const SseMessage& m : SseMessages(sse)) {
        if (m.type == "camera" && m.data["id"] == "gate" && m.data["state"] == "finished") finished = true;
    }
    const std::string seen = ReadText(sse);
    EXPECT_TRUE(finished) << seen.substr(seen.size() > 2000 ? seen.size() - 2000 : 0) << "\n--- run log ---\n"
                          << ReadText(dir / "run.log");
}
