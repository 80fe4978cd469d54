// How the host program decodes live streams, against real stream servers on loopback
// (ffmpeg serving Motion JPEG over HTTP, and H.264 in MPEG-TS over HTTP): Motion JPEG frames
// are decoded only when analysed, H.264 frames are all decoded and analysed with their true
// colours and size, and both come back after their server is killed and started again.
#include <algorithm>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "program_harness.h"
#include "support/servers.h"

using namespace program_test;
using servers::Process;

namespace {

// A 640 x 360 picture of one colour (B 192, G 96, R 48: a swap of red and blue, or a range
// read wrong, moves it far), 25 frames a second.
std::vector<std::string> Server(const std::vector<std::string>& codec, int port) {
    std::vector<std::string> argv{"ffmpeg", "-hide_banner", "-loglevel",
                                  "error",  "-re",          "-f",
                                  "lavfi",  "-i",           "color=c=0x3060C0:size=640x360:rate=25",
                                  "-t",     "120"};
    argv.insert(argv.end(), codec.begin(), codec.end());
    argv.insert(argv.end(), {"-listen", "1", "http://127.0.0.1:" + std::to_string(port) + "/live"});
    return argv;
}

nlohmann::json LastStats(const std::vector<nlohmann::json>& records) {
    nlohmann::json last;
    for (const auto& r : records) {
        if (r["type"] == "stats") last = r;
    }
    return last;
}

int Online(const std::vector<nlohmann::json>& records) {
    int n = 0;
    for (const auto& r : records) n += r["type"] == "camera" && r.value("state", "") == "online";
    return n;
}

}  // namespace

TEST_F(WeaponDetectTest, LiveStreamsDecodeWhatIsAnalysedInTrueColoursAndReconnect) {
    const struct {
        std::string name;
        std::vector<std::string> codec;
        bool decodedOnlyWhenAnalysed;
    } cases[] = {
        {"Motion JPEG over HTTP", {"-c:v", "mjpeg", "-q:v", "3", "-f", "mpjpeg"}, true},
        {"H.264 in MPEG-TS over HTTP",
         {"-c:v", "libx264", "-preset", "ultrafast", "-g", "25", "-pix_fmt", "yuv420p", "-f", "mpegts"},
         false},
    };
    // A detector far slower than the camera: about 5 frames analysed a second of 25.
    const ScopedEnv slow("STEADY_MODULE_DELAY_MS", "200");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir / "snaps");
        fs::remove(dir / "out.jsonl");
        const int port = servers::FreePort();
        auto server = std::make_unique<Process>(Server(c.codec, port), (dir / "ffmpeg1.log").string());
        ASSERT_TRUE(servers::WaitForPort(port, std::chrono::seconds(10)));
        const fs::path part = dir / "out.part.jsonl";
        Process run(Program({"http://127.0.0.1:" + std::to_string(port) + "/live", "--module", STEADY_MODULE,
                             "--camera-id", "gate", "--stats-interval", "1", "--stall-timeout", "3", "--snapshots",
                             (dir / "snaps").string(), "--no-clips", "-q", "-o", (dir / "out.jsonl").string()}),
                    (dir / "run.log").string());
        // Enough frames for the counts to say something.
        ASSERT_TRUE(Eventually([&] {
            const auto stats = LastStats(RecordsSoFar(part));
            return !stats.is_null() && stats["frames"].get<long>() >= 60;
        })) << ReadText(dir / "run.log");
        const auto stats = LastStats(RecordsSoFar(part));
        const long frames = stats["frames"], analysed = stats["analysed"], decoded = stats["decoded"];
        ASSERT_GT(analysed, 0) << stats;
        EXPECT_GT(frames, 2 * analysed) << "the analysis is far slower than the camera: " << stats;
        if (c.decodedOnlyWhenAnalysed) {
            // A frame in flight between the reader and the record is the only slack.
            EXPECT_LE(decoded, analysed + 2) << "only the frames analysed are decoded: " << stats;
        } else {
            EXPECT_GE(decoded, analysed) << stats;
        }

        // Killed and started again: online again, and frames analysed after that.
        server->Stop(SIGKILL);
        server = std::make_unique<Process>(Server(c.codec, port), (dir / "ffmpeg2.log").string());
        ASSERT_TRUE(Eventually([&] {
            const auto records = RecordsSoFar(part);
            int framesAfter = 0;
            bool again = false;
            int online = 0;
            for (const auto& r : records) {
                if (r["type"] == "camera" && r.value("state", "") == "online") again = ++online == 2;
                if (again && r["type"] == "frame") ++framesAfter;
            }
            return framesAfter > 3;
        })) << "the camera came back: "
            << ReadText(dir / "run.log");
        EXPECT_EQ(run.Stop(SIGTERM, std::chrono::seconds(20)), 130) << ReadText(dir / "run.log");
        server.reset();
        EXPECT_EQ(Online(ReadLines(dir / "out.jsonl")), 2);

        // What the detector saw, as the event snapshots keep it: the stream's size and colour.
        int snapshots = 0;
        for (const auto& entry : fs::recursive_directory_iterator(dir / "snaps")) {
            if (entry.path().extension() != ".jpg") continue;
            ++snapshots;
            const cv::Mat image = cv::imread(entry.path().string());
            ASSERT_FALSE(image.empty()) << entry.path();
            EXPECT_EQ(image.size(), cv::Size(640, 360)) << entry.path();
            std::vector<cv::Mat> channels;
            cv::split(image, channels);
            const int expected[3] = {192, 96, 48};
            for (int k = 0; k < 3; ++k) {
                std::vector<uchar> values(channels[k].begin<uchar>(), channels[k].end<uchar>());
                std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
                EXPECT_NEAR(values[values.size() / 2], expected[k], 8) << "channel " << k << " of " << entry.path();
            }
        }
        EXPECT_GT(snapshots, 0);
    }
}
