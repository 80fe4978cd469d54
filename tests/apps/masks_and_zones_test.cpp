// Masks and zones in the real program on the demo scene: three cameras watch the same clip.
// A mask over the weapon's path gives no alarm, its detections recorded as masked and counted;
// a required zone away from the path gives no alarm; a required zone on the path gives the
// alarm, named in the event's record, its snapshot and the event store.
#include <algorithm>
#include <climits>
#include <cmath>
#include <map>
#include <sstream>

#include <opencv2/imgcodecs.hpp>

#include "program_harness.h"
#include "support/http_probe.h"
#include "support/servers.h"

using namespace program_test;
using servers::CurlGet;
using servers::Process;

namespace {

constexpr int kFrames = 60;  // the weapon comes into view at frame 26

std::string Url(int port, const std::string& path) { return "http://127.0.0.1:" + std::to_string(port) + path; }

// "[[x, y], ...]" of a rectangle across the whole width, rows `top` to `bottom` (shares).
std::string Band(double top, double bottom) {
    std::ostringstream s;
    s << "[[0, " << top << "], [1, " << top << "], [1, " << bottom << "], [0, " << bottom << "]]";
    return s.str();
}

long long MetricValue(const std::string& metrics, const std::string& sample) {
    const size_t at = metrics.find(sample + " ");
    return at == std::string::npos ? -1 : std::stoll(metrics.substr(at + sample.size() + 1));
}

}  // namespace

TEST_F(WeaponDetectTest, MasksSilenceAndRequiredZonesChooseWhereTheDemoWeaponAlarms) {
    // The rows the weapon moves along in the clip, from the scene's own ground truth, with a
    // margin for the detector's boxes.
    const DemoScene scene;
    cv::Mat frame;
    int top = INT_MAX, bottom = 0;
    for (int i = 0; i < kFrames; ++i) {
        const auto truth = scene.Render(i, frame);
        if (!truth.weaponVisible) continue;
        top = std::min(top, truth.weapon.y);
        bottom = std::max(bottom, truth.weapon.br().y);
    }
    ASSERT_LT(top, bottom) << "the weapon is in view in the clip";
    // Three decimals, written and read back the same.
    const double bandTop = std::floor((top - 80) * 1000.0 / DemoScene::kHeight) / 1000;
    const double bandBottom = std::ceil((bottom + 80) * 1000.0 / DemoScene::kHeight) / 1000;
    const std::string path = Band(bandTop, bandBottom), sky = "[[0, 0], [0.4, 0], [0.4, 0.3], [0, 0.3]]";

    WriteSceneVideo(dir / "clip.avi", 0, kFrames);
    for (const char* copy : {"masked.avi", "elsewhere.avi", "path.avi"}) fs::copy_file(dir / "clip.avi", dir / copy);
    const int port = servers::FreePort();
    const fs::path out = dir / "out.jsonl", snaps = dir / "snaps", log = dir / "run.log";
    std::ofstream(dir / "site.yaml") << "output: " << out.string() << "\nsnapshots: " << snaps.string()
                                     << "\nclips: false\nhttp: 127.0.0.1:" << port << "\nkeep-serving: true\n"
                                     << "cameras:\n"
                                     << "  - id: masked\n    input: " << (dir / "masked.avi").string()
                                     << "\n    mask:\n      - " << path << "\n"
                                     << "  - id: elsewhere\n    input: " << (dir / "elsewhere.avi").string()
                                     << "\n    zones:\n      - {name: sky, polygon: " << sky << "}\n"
                                     << "    require: sky\n"
                                     << "  - id: path\n    input: " << (dir / "path.avi").string()
                                     << "\n    zones:\n      - {name: sky, polygon: " << sky << "}\n"
                                     << "      - {name: walkway, polygon: " << path << "}\n"
                                     << "    require: [walkway]\n";
    Process run(Program({"--config", (dir / "site.yaml").string(), "-q"}), log.string());
    // Every input ended; the page goes on serving.
    ASSERT_TRUE(servers::Within(std::chrono::seconds(300), [&] {
        const auto reply = CurlGet(Url(port, "/api/cameras"), (dir / "state.json").string());
        if (reply.status != 200) return !run.running();
        const auto list = nlohmann::json::parse(reply.body);
        return std::all_of(list.begin(), list.end(), [](const auto& c) { return c["state"] == "finished"; });
    })) << ReadText(log);
    ASSERT_TRUE(run.running()) << ReadText(log);

    const auto metrics = CurlGet(Url(port, "/metrics"), (dir / "metrics.txt").string());
    const auto events = CurlGet(Url(port, "/api/events"), (dir / "events.json").string());
    const auto cameras = CurlGet(Url(port, "/api/cameras"), (dir / "cameras.json").string());
    EXPECT_EQ(run.Stop(SIGTERM, std::chrono::seconds(20)), 0) << ReadText(log);

    // The records: every detection is there, those that raised no alarm marked why.
    std::map<std::string, std::map<std::string, int>> marks;  // camera -> mark -> detections
    std::map<std::string, std::vector<nlohmann::json>> eventRecords;
    for (const auto& r : ReadLines(out)) {
        const std::string camera = r["camera"];
        if (r["type"] == "event") eventRecords[camera].push_back(r);
        if (r["type"] != "frame") continue;
        for (const auto& d : r["detections"]) ++marks[camera][d.value("ignored", "alarm")];
    }
    EXPECT_GT(marks["masked"]["mask"], 0) << "the masked detections stay in the record";
    EXPECT_EQ(marks["masked"].count("alarm"), 0u);
    EXPECT_GT(marks["elsewhere"]["outside required zones"], 0);
    EXPECT_EQ(marks["elsewhere"].count("alarm"), 0u);
    EXPECT_GT(marks["path"]["alarm"], 0);
    EXPECT_EQ(marks["path"].count("outside required zones"), 0u);
    EXPECT_EQ(marks["masked"]["mask"], marks["elsewhere"]["outside required zones"])
        << "the same clip, the same detections";

    EXPECT_EQ(eventRecords.count("masked"), 0u) << "a mask over the path: no alarm";
    EXPECT_EQ(eventRecords.count("elsewhere"), 0u) << "a required zone away from the path: no alarm";
    ASSERT_FALSE(eventRecords["path"].empty()) << ReadText(log);
    for (const auto& e : eventRecords["path"]) {
        EXPECT_EQ(e["zones"], nlohmann::json::array({"walkway"})) << e;
    }

    // Counted per camera.
    ASSERT_EQ(metrics.status, 200);
    EXPECT_EQ(MetricValue(metrics.body, "weapon_detect_masked_total{camera=\"masked\"}"), marks["masked"]["mask"])
        << metrics.body;
    EXPECT_EQ(MetricValue(metrics.body, "weapon_detect_masked_total{camera=\"path\"}"), 0);
    EXPECT_EQ(MetricValue(metrics.body, "weapon_detect_outside_zones_total{camera=\"elsewhere\"}"),
              marks["elsewhere"]["outside required zones"]);
    EXPECT_EQ(MetricValue(metrics.body, "weapon_detect_events_total{camera=\"masked\"}"), 0);

    // The event store and its API name the zone.
    ASSERT_EQ(events.status, 200);
    const auto stored = nlohmann::json::parse(events.body)["events"];
    ASSERT_EQ(stored.size(), eventRecords["path"].size()) << stored;
    for (const auto& e : stored) {
        EXPECT_EQ(e["camera"], "path");
        EXPECT_EQ(e["zones"], nlohmann::json::array({"walkway"})) << e;
    }

    // The API shows each camera's polygons, in shares of the frame.
    ASSERT_EQ(cameras.status, 200);
    for (const auto& c : nlohmann::json::parse(cameras.body)) {
        if (c["id"] == "masked") {
            ASSERT_EQ(c["mask"].size(), 1u) << c;
            EXPECT_DOUBLE_EQ(c["mask"][0][0][1].get<double>(), bandTop);
            EXPECT_EQ(c["zones"], nlohmann::json::array());
        } else {
            EXPECT_EQ(c["mask"], nlohmann::json::array());
            EXPECT_EQ(c["zones"][0]["name"], "sky") << c;
            EXPECT_EQ(c["zones"][0]["polygon"][1], nlohmann::json::parse("[0.4, 0.0]")) << c;
            EXPECT_EQ(c["require"], nlohmann::json::array({c["id"] == "path" ? "walkway" : "sky"}));
        }
    }

    // The snapshot shows the zone: its outline crosses the frame's right side, where the
    // person never comes in this clip.
    const cv::Mat snapshot = cv::imread(eventRecords["path"][0]["snapshot"].get<std::string>());
    ASSERT_FALSE(snapshot.empty());
    const int edge = static_cast<int>(std::lround(bandTop * snapshot.rows));
    const cv::Scalar outline = cv::mean(snapshot(cv::Rect(1700, edge - 1, 150, 3)));
    EXPECT_GT(outline[2], 200) << outline;  // the zone's orange-yellow (BGR 0, 200, 255)
    EXPECT_GT(outline[1], 150) << outline;
    EXPECT_LT(outline[0], 80) << outline;
}
