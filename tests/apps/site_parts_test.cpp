// The parts behind the page, the metrics and the clips, on their own: the Prometheus text
// writer (checked by the real promtool), the histogram, the pre-roll ring, the clip recorder
// (what a clip covers, whole or nothing), the event table and the page's address.
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "addresses.h"
#include "output/clip_recorder.h"
#include "output/mqtt_discovery.h"
#include "output/preroll_ring.h"
#include "web/event_table.h"
#include "web/metrics_text.h"
#include "web/web_server.h"

namespace fs = std::filesystem;
using namespace weapon_detect;

namespace {

fs::path Scratch(const std::string& name) {
    const fs::path dir = fs::temp_directory_path() / ("site_parts_" + std::to_string(getpid()) + "_" + name);
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

// A frame whose grey level tells its index.
cv::Mat Numbered(int index) { return cv::Mat(360, 640, CV_8UC3, cv::Scalar::all((index * 20) % 250)); }

struct ClipResult {
    std::string path, error;
    int calls = 0;
};

}  // namespace

TEST(MetricsText, WritesLabelsAndNumbersAsTheFormatAsks) {
    const struct {
        std::string raw, written;
    } labels[] = {
        {"door", "door"},
        {"a\"b", "a\\\"b"},
        {"back\\slash", "back\\\\slash"},
        {"two\nlines", "two\\nlines"},
        {"caf\xe9", "caf\xEF\xBF\xBD"},                            // Latin-1: not UTF-8
        {"\xc3\xa9t\xc3\xa9", "\xc3\xa9t\xc3\xa9"},                // UTF-8 kept
        {"\xed\xa0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a surrogate is not a character
        {"cut\xe2\x82", "cut\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const auto& c : labels) EXPECT_EQ(MetricsText::LabelValue(c.raw), c.written) << c.raw;
    const struct {
        double value;
        const char* written;
    } numbers[] = {{0, "0"},     {300, "300"},       {0.05, "0.05"},      {-2.5, "-2.5"},
                   {NAN, "NaN"}, {INFINITY, "+Inf"}, {-INFINITY, "-Inf"}, {1e20, "1e+20"}};
    for (const auto& c : numbers) EXPECT_EQ(MetricsText::Number(c.value), c.written) << c.value;
}

TEST(MetricsText, PromtoolAcceptsAPageWithHostileCameraIds) {
    Histogram delay({0.1, 1, 10});
    for (const double v : {0.05, 0.1, 0.5, 2.0, 100.0}) delay.Observe(v);
    const Histogram::Reading reading = delay.Read();
    EXPECT_EQ(reading.cumulative, (std::vector<long long>{2, 3, 4, 5}));  // le is inclusive
    EXPECT_DOUBLE_EQ(reading.sum, 102.65);

    MetricsText m;
    const std::vector<std::string> cameras{"door", "a\"b\\c\nd", "caf\xe9 \xff", "", "{x=\"1\"}"};
    m.Family("weapon_detect_frames_read_total", "counter", "Frames read.");
    for (const auto& c : cameras) m.Sample("weapon_detect_frames_read_total", {{"camera", c}}, 7);
    m.Family("weapon_detect_analysis_delay_seconds", "histogram", "Delay.");
    for (const auto& c : cameras) m.HistogramSamples("weapon_detect_analysis_delay_seconds", {{"camera", c}}, reading);
    m.Family("weapon_detect_mqtt_queue_length", "gauge", "Queue.");
    m.Sample("weapon_detect_mqtt_queue_length", {}, 0);

    const fs::path dir = Scratch("promtool");
    std::ofstream(dir / "metrics.txt") << m.text();
    const std::string command = "promtool check metrics < " + (dir / "metrics.txt").string() + " > " +
                                (dir / "promtool.log").string() + " 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << m.text();
    EXPECT_NE(m.text().find("weapon_detect_analysis_delay_seconds_bucket{camera=\"door\",le=\"+Inf\"} 5"),
              std::string::npos);
    fs::remove_all(dir);
}

TEST(PrerollRing, KeepsTheLastSecondsWithinItsBytes) {
    const struct {
        double seconds;
        size_t maxBytes, frameBytes;
        size_t kept;
    } cases[] = {
        {2.0, 1 << 20, 100, 21},  // 10 frames a second: 2 s and the newest
        {2.0, 1000, 100, 10},     // the bytes bound first
        {0.0, 1 << 20, 100, 1},   // no pre-roll: only the newest
        {2.0, 50, 100, 0},        // a frame larger than the bound is not kept
    };
    for (const auto& c : cases) {
        PrerollRing ring(c.seconds, c.maxBytes);
        for (int i = 0; i <= 100; ++i) ring.Add(i * 0.1, std::vector<unsigned char>(c.frameBytes));
        EXPECT_EQ(ring.size(), c.kept) << c.seconds << " s, " << c.maxBytes << " bytes";
        EXPECT_LE(ring.bytes(), c.maxBytes);
        if (c.kept > 0) {
            EXPECT_NEAR(ring.Since(9.95).front()->time, 10.0, 1e-9);
        }
    }
}

TEST(ClipRecorder, ClipHoldsThePrerollTheEventAndThePostroll) {
    const fs::path dir = Scratch("clip");
    ClipResult result;
    ClipSettings settings;
    settings.beforeSeconds = 2.0;
    settings.afterSeconds = 1.0;
    settings.fps = 10.0;
    settings.queuedFrames = 200;  // every frame reaches the clip, however slow the encoder starts
    {
        ClipRecorder recorder(
            settings,
            [&](long long, const std::string& path, const std::string& error) {
                result.path = path;
                result.error = error;
                ++result.calls;
            },
            nullptr);
        // 10 frames a second for 10 s; the event runs from 5 s to 6 s; one frame is missing
        // (a live camera's gap), which the clip fills with the frame before.
        for (int i = 0; i <= 100; ++i) {
            if (i == 40) continue;
            recorder.Push(Numbered(i), i * 0.1);
            if (i == 50) recorder.Begin(50, (dir / "event.mp4").string(), 5.0);
            if (i == 60) recorder.End(50, 6.0);
        }
        ASSERT_EQ(recorder.dropped(), 0);
    }
    ASSERT_EQ(result.calls, 1);
    EXPECT_EQ(result.error, "");
    EXPECT_EQ(result.path, (dir / "event.mp4").string());
    // From 3 s (2 s before the start) to 7 s (1 s after the end), at the clip's 10 fps.
    cv::VideoCapture clip((dir / "event.mp4").string());
    ASSERT_TRUE(clip.isOpened());
    EXPECT_EQ(clip.get(cv::CAP_PROP_FRAME_COUNT), 41);
    EXPECT_EQ(clip.get(cv::CAP_PROP_FOURCC), cv::VideoWriter::fourcc('a', 'v', 'c', '1'));
    std::vector<double> greys;
    cv::Mat frame;
    while (clip.read(frame)) greys.push_back(cv::mean(frame)[0]);
    ASSERT_EQ(greys.size(), 41u);
    EXPECT_NEAR(greys[0], 30 * 20 % 250, 8);   // frame 30 at 3.0 s
    EXPECT_NEAR(greys[10], 39 * 20 % 250, 8);  // 4.0 s: frame 40 is missing, 39 stands in
    EXPECT_NEAR(greys[40], 70 * 20 % 250, 8);  // frame 70 at 7.0 s
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 1) << "no part file left";
    fs::remove_all(dir);
}

TEST(ClipRecorder, AClipThatCannotBeFinishedLeavesNothing) {
    const fs::path dir = Scratch("noclip");
    std::vector<ClipResult> results;
    auto record = [&](long long, const std::string& path, const std::string& error) {
        results.push_back({path, error, 1});
    };
    {
        // Its folder does not exist.
        ClipRecorder recorder({}, record, nullptr);
        recorder.Push(Numbered(0), 0.0);
        recorder.Begin(0, (dir / "missing" / "event.mp4").string(), 0.0);
    }
    ASSERT_EQ(results.size(), 1u);
    EXPECT_NE(results[0].error.find("missing"), std::string::npos) << results[0].error;
    {
        // Stopped before its end: discarded, nothing said, nothing left.
        ClipRecorder recorder({}, record, nullptr);
        recorder.Push(Numbered(0), 0.0);
        recorder.Begin(0, (dir / "event.mp4").string(), 0.0);
        for (int i = 1; i < 5; ++i) recorder.Push(Numbered(i), i * 0.04);
        recorder.Discard();
    }
    EXPECT_EQ(results.size(), 1u);
    EXPECT_TRUE(fs::is_empty(dir));
    fs::remove_all(dir);
}

TEST(EventTable, KeepsEveryEventButOnlyTheNewestThumbnails) {
    EventTable table(nullptr, 3);
    AlarmEvent event;
    const Jpeg jpeg = std::make_shared<const std::vector<unsigned char>>(std::vector<unsigned char>{0xff, 0xd8});
    for (int i = 0; i < 5; ++i) {
        event.firstFrame = i * 100;
        event.startTime = i;
        table.Update("door", event, "start", jpeg, "", "/clips/door_" + std::to_string(i) + ".mp4");
    }
    // An update keeps its id; a clip is offered only once it is written.
    event.firstFrame = 400;
    event.endTime = 4.5;
    EXPECT_EQ(table.Update("door", event, "end", nullptr, "/snaps/door_400.jpg", "/clips/door_4.mp4"), 5);
    table.ClipDone("door", 400, true);
    table.ClipDone("door", 300, false);
    table.ClipDone("door", 7, true);  // no such event: nothing happens

    const auto newest = table.Newest(10);
    ASSERT_EQ(newest.size(), 5u);
    EXPECT_EQ(newest[0].event.id, 5);
    EXPECT_EQ(newest[4].event.id, 1);
    EXPECT_EQ(newest[0].Json()["clip"], "/api/events/5/clip");
    EXPECT_EQ(newest[0].snapshotPath, "/snaps/door_400.jpg");
    EXPECT_EQ(newest[0].clipPath, "/clips/door_4.mp4");
    EXPECT_TRUE(newest[1].Json()["clip"].is_null());
    EXPECT_EQ(newest[1].event.clipState, "failed");
    EXPECT_EQ(newest[2].event.clipState, "recording");
    EXPECT_TRUE(newest[2].thumbnail);
    EXPECT_FALSE(newest[3].thumbnail) << "only the newest thumbnails are kept";
    EXPECT_FALSE(table.Find(6));
    EXPECT_EQ(table.Find(4)->event.firstFrame, 300);
    EXPECT_EQ(table.Newest(1).size(), 1u);
    EXPECT_EQ(table.total(), 5);
}

TEST(WebServer, AddressesAndLoopback) {
    const struct {
        const char* text;
        const char* host;
        int port;
    } good[] = {{"8080", "127.0.0.1", 8080},
                {":8081", "127.0.0.1", 8081},
                {"0.0.0.0:80", "0.0.0.0", 80},
                {"[::1]:9000", "::1", 9000},
                {"localhost:65535", "localhost", 65535}};
    for (const auto& c : good) {
        const HostPort s = ParseHttpAddress(c.text);
        EXPECT_EQ(s.host, c.host) << c.text;
        EXPECT_EQ(s.port, c.port) << c.text;
    }
    for (const char* bad : {"", "host:", "host:0", "host:65536", "host:80x", "host:-1", "host:999999999999"}) {
        EXPECT_THROW(ParseHttpAddress(bad), std::invalid_argument) << bad;
    }
    for (const char* loopback : {"127.0.0.1", "127.1.2.3", "::1", "localhost"})
        EXPECT_TRUE(WebServer::IsLoopback(loopback));
    for (const char* open : {"0.0.0.0", "::", "192.168.1.2", "example.org", "128.0.0.1"})
        EXPECT_FALSE(WebServer::IsLoopback(open));
}

TEST(MqttDiscovery, IdsAreSafeAndTopicsFollowThePublisher) {
    EXPECT_EQ(DiscoveryId("front door/#1+é"), "front_door__1___");
    const auto configs = DiscoveryConfigs("homeassistant", "site/a", {"cam/1"});
    ASSERT_EQ(configs.size(), 2u);
    EXPECT_EQ(configs[0].topic, "homeassistant/binary_sensor/site_a/cam_1_weapon/config");
    const auto sensor = nlohmann::json::parse(configs[0].payload);
    EXPECT_EQ(sensor["state_topic"], "site/a/cam_1/weapon");
    EXPECT_EQ(sensor["availability"][1]["topic"], "site/a/cam_1/state");
    EXPECT_EQ(nlohmann::json::parse(configs[1].payload)["topic"], "site/a/cam_1/snapshot");
}
