// The page as an operator meets it, in headless chromium driven through its debugging
// protocol (tests/support/cdp_page.py) against the real program on loopback: an open alarm's
// banner, red tile and title, Acknowledge kept across a restart, the layout at a phone's and a
// desktop's size, the filters against the API, the event view.
// WEAPON_DETECT_SCREENSHOTS=FOLDER writes the page's screenshots there as well.
#include <cstdlib>

#include <opencv2/imgcodecs.hpp>

#include "page_driver.h"
#include "program_harness.h"
#include "support/http_probe.h"
#include "support/servers.h"

using namespace program_test;
using servers::CurlGet;
using servers::Process;

namespace {

std::string Url(int port, const std::string& path) { return "http://127.0.0.1:" + std::to_string(port) + path; }

// The events of an answer of GET /api/events: a list, or an object holding one.
nlohmann::json EventsOf(const std::string& body) {
    const nlohmann::json answer = nlohmann::json::parse(body, nullptr, false);
    if (answer.is_object() && answer.contains("events")) return answer["events"];
    return answer.is_array() ? answer : nlohmann::json::array();
}

std::vector<long long> Ids(const nlohmann::json& list) {
    std::vector<long long> ids;
    for (const auto& id : list) ids.push_back(id.get<long long>());
    return ids;
}

using servers::Within;

}  // namespace

TEST_F(WeaponDetectTest, AlarmPageShowsTheAlarmUntilAcknowledgedAndKeepsTheAcknowledgementAcrossARestart) {
    const int port = servers::FreePort();
    const fs::path out = dir / "demo";
    const std::vector<std::string> demo{
        "--demo", "--output-dir", out.string(), "--http", "127.0.0.1:" + std::to_string(port), "--keep-serving", "-q"};
    auto run = std::make_unique<Process>(Program(demo), (dir / "run.log").string());
    nlohmann::json events;
    ASSERT_TRUE(Within(std::chrono::seconds(300), [&] {
        events = EventsOf(CurlGet(Url(port, "/api/events"), (dir / "events.json").string()).body);
        // Ended, its clip written and its record out: an alarm still waiting for the operator.
        return !events.empty() && events[0]["clip_state"] == "ready" && fs::exists(out / "detections.jsonl");
    })) << ReadText(dir / "run.log");
    const long long id = events[0]["id"];

    std::vector<std::string> args{Url(port, "/"), "--ack-name", "night shift"};
    const char* shots = std::getenv("WEAPON_DETECT_SCREENSHOTS");
    if (shots && *shots) {
        fs::create_directories(shots);
        args.insert(args.end(), {"--shots", fs::absolute(shots).string()});
    }
    const nlohmann::json page = DrivePage(dir, "check", args);
    ASSERT_FALSE(page.contains("error")) << page.dump(1);
    ASSERT_TRUE(page.contains("view")) << page.dump(1);

    // The banner names the alarm; its camera's tile is red; the title says so.
    const auto& state = page["state"];
    EXPECT_EQ(page["alarm"], id);
    EXPECT_NE(state["banner_text"].get<std::string>().find("demo_scene"), std::string::npos) << state;
    EXPECT_NE(state["banner_text"].get<std::string>().find("handgun"), std::string::npos) << state;
    EXPECT_EQ(state["red"], nlohmann::json::array({"demo_scene"}));

    // Two columns on a desktop, one on a phone; no main box over another, nothing wider than the window.
    for (const auto& [size, columns] : {std::pair<std::string, int>{"desktop", 2}, {"phone", 1}}) {
        const auto& layout = page["layout"][size];
        EXPECT_EQ(layout["overlaps"], nlohmann::json::array()) << size << ": " << layout;
        EXPECT_FALSE(layout["wider"].get<bool>()) << size;
        EXPECT_EQ(layout["columns"], columns) << size;
        for (const char* box : {"header", "banner", "camera demo_scene", "filters", "event list"}) {
            EXPECT_NE(layout["boxes"].dump().find(box), std::string::npos) << size << ": no " << box;
        }
    }

    // Each filter as the operator sets it lists what the API holds for the same query; the
    // event is found by its camera, class and day, and not by another class or the next day.
    ASSERT_EQ(page["filters"].size(), 6u);
    for (const auto& f : page["filters"]) EXPECT_EQ(f["rows"], f["api"]) << f;
    const std::vector<bool> found{true, true, false, true, false, true};
    for (size_t i = 0; i < found.size(); ++i) {
        const auto rows = Ids(page["filters"][i]["rows"]);
        EXPECT_EQ(std::find(rows.begin(), rows.end(), id) != rows.end(), found[i]) << page["filters"][i];
    }
    EXPECT_EQ(page["filters"][2]["note"], "No events match");

    // Acknowledge clears the banner and the red tile, and the store keeps who did it.
    EXPECT_TRUE(page["after_ack"]["banner"].is_null()) << page["after_ack"];
    EXPECT_EQ(page["after_ack"]["red"], nlohmann::json::array());
    EXPECT_EQ(page["after_ack"]["title"], "weapon-detect");
    EXPECT_EQ(page["acknowledged"]["acknowledged_by"], "night shift");

    // The event view: the full-size snapshot, the clip, the downloads.
    const auto& view = page["view"];
    nlohmann::json record;
    for (const auto& r : ReadLines(out / "detections.jsonl")) {
        if (r["type"] == "event") record = r;
    }
    ASSERT_TRUE(record["snapshot"].is_string()) << record;
    const cv::Mat snapshot = cv::imread(record["snapshot"].get<std::string>());
    EXPECT_EQ(view["snapshot"], nlohmann::json::array({snapshot.cols, snapshot.rows})) << view;
    EXPECT_TRUE(view["video"].get<bool>()) << view;
    EXPECT_EQ(view["video_ready"], "1");
    const std::string base = "/api/events/" + std::to_string(id);
    EXPECT_EQ(view["links"], nlohmann::json::array({base + "/snapshot", base + "/clip"}));
    EXPECT_NE(view["text"].get<std::string>().find("night shift"), std::string::npos) << view["text"];

    // A restart on the same folder: the event is still acknowledged, and the page raises no
    // banner for it.
    ASSERT_EQ(run->Stop(SIGTERM, std::chrono::seconds(30)), 0);
    std::vector<std::string> shortDemo = demo;
    shortDemo.insert(shortDemo.end(), {"--max-frames", "20"});  // no new alarm
    run = std::make_unique<Process>(Program(shortDemo), (dir / "run2.log").string());
    ASSERT_TRUE(Within(std::chrono::seconds(120), [&] {
        const auto reply = CurlGet(Url(port, "/api/cameras"), (dir / "cameras.json").string());
        return reply.status == 200 && reply.body.find("\"finished\"") != std::string::npos;
    })) << ReadText(dir / "run2.log");
    const auto reply = CurlGet(Url(port, base), (dir / "event.json").string());
    ASSERT_EQ(reply.status, 200) << reply.body;
    const nlohmann::json again = nlohmann::json::parse(reply.body, nullptr, false);
    EXPECT_EQ(again["acknowledged_by"], "night shift") << again;
    EXPECT_EQ(again["acknowledged_ms"], page["acknowledged"]["acknowledged_ms"]);
    const nlohmann::json after = DrivePage(dir, "state", {Url(port, "/")});
    ASSERT_FALSE(after.contains("error")) << after.dump(1);
    EXPECT_TRUE(after["banner"].is_null()) << after;
    EXPECT_EQ(after["red"], nlohmann::json::array());
    EXPECT_NE(after["row_text"][std::to_string(id)].get<std::string>().find("acknowledged by night shift"),
              std::string::npos)
        << after;
    EXPECT_EQ(run->Stop(SIGTERM, std::chrono::seconds(30)), 0);
}

// A camera that alarms again and again (a looped file played in real time): each new alarm
// is on the page, banner and red tile, within 2 s of the API showing it; each is acknowledged
// on the page before the next. A camera that cannot be reached shows why on its card.
TEST_F(WeaponDetectTest, AlarmPageRaisesEachNewAlarmWithinTwoSeconds) {
    WriteSceneVideo(dir / "scene.avi", 0, 100);
    const int port = servers::FreePort(), closed = servers::FreePort();
    const ScopedEnv bursts("STEADY_MODULE_BURSTS", "1");
    Process run(Program({(dir / "scene.avi").string(), "rtsp://127.0.0.1:" + std::to_string(closed) + "/none",
                         "--camera-id", "door", "--camera-id", "yard", "--realtime", "--loop", "--module",
                         STEADY_MODULE, "--quiet-time", "0.2", "--no-clips", "-q", "-o", (dir / "out.jsonl").string(),
                         "--http", "127.0.0.1:" + std::to_string(port)}),
                (dir / "run.log").string());
    ASSERT_TRUE(servers::WaitForPort(port, std::chrono::seconds(60))) << ReadText(dir / "run.log");

    const nlohmann::json page = DrivePage(dir, "latency", {Url(port, "/"), "--count", "3", "--timeout", "120"});
    ASSERT_FALSE(page.contains("error")) << page.dump(1) << ReadText(dir / "run.log");
    ASSERT_EQ(page["banner_ms"].size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_LT(page["banner_ms"][i].get<double>(), 2000) << page;
        ASSERT_FALSE(page["tile_ms"][i].is_null()) << page;
        EXPECT_LT(page["tile_ms"][i].get<double>(), 2000) << page;
    }

    const nlohmann::json after = DrivePage(dir, "state", {Url(port, "/")});
    ASSERT_FALSE(after.contains("error")) << after.dump(1);
    EXPECT_TRUE(after["reasons"]["door"].is_null()) << after["reasons"];
    ASSERT_TRUE(after["reasons"]["yard"].is_string()) << after["reasons"] << ": a broken image instead of a reason";
    EXPECT_FALSE(after["reasons"]["yard"].get<std::string>().empty());
    EXPECT_EQ(run.Stop(SIGTERM, std::chrono::seconds(30)), 130);
}
