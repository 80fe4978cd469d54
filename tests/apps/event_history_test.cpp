// The event history of the real program across restarts: killed (SIGKILL) while an alarm is
// open, started again on the same store, it finds that alarm interrupted, keeps its
// acknowledgement, continues the ids, and its API filters answer what the store holds.
#include <map>

#include "program_harness.h"
#include "support/http_probe.h"
#include "support/servers.h"

using namespace program_test;
using servers::CurlGet;
using servers::Process;

namespace {

// Runs the steady module on a looped file with the page; it reports a weapon in every third
// frame, so an alarm is open as long as it runs (or, with --quiet-time 0, a new one ends
// every few frames).
std::vector<std::string> Looped(const fs::path& dir, const std::string& camera, int port,
                                std::vector<std::string> more = {}) {
    std::vector<std::string> args = {(dir / "clip.avi").string(),
                                     "--realtime",
                                     "--loop",
                                     "--camera-id",
                                     camera,
                                     "--module",
                                     STEADY_MODULE,
                                     "-q",
                                     "-o",
                                     (dir / (camera + ".jsonl")).string(),
                                     "--snapshots",
                                     (dir / "snaps").string(),
                                     "--http",
                                     "127.0.0.1:" + std::to_string(port)};
    args.insert(args.end(), more.begin(), more.end());
    return Program(args);
}

}  // namespace

TEST_F(WeaponDetectTest, AKilledRunsOpenAlarmIsFoundInterruptedAndAcknowledgementsAndIdsCarryOn) {
    WriteSceneVideo(dir / "clip.avi", 0, 50);
    const ScopedEnv token("WEAPON_DETECT_HTTP_TOKEN", "s3cret");
    const std::string auth = "-H 'Authorization: Bearer s3cret'";
    const fs::path scratch = dir / "reply.json";
    auto api = [&](int port, const std::string& path, const std::string& extra = "") {
        const auto reply =
            CurlGet("http://127.0.0.1:" + std::to_string(port) + path, scratch.string(), auth + " " + extra);
        return std::make_pair(reply.status, reply.status == 200 ? nlohmann::json::parse(reply.body) : nlohmann::json());
    };

    // The first run: killed while its alarm is open, after it was acknowledged.
    const int first = servers::FreePort();
    long long killedId = 0;
    {
        Process run(Looped(dir, "gate", first), (dir / "first.log").string());
        ASSERT_TRUE(Eventually([&] {
            const auto [status, page] = api(first, "/api/events");
            if (status != 200 || page["events"].empty() || page["events"][0]["state"] != "open") return false;
            killedId = page["events"][0]["id"].get<long long>();
            return true;
        })) << ReadText(dir / "first.log");
        const auto [status, acked] =
            api(first, "/api/events/" + std::to_string(killedId) + "/ack?by=tester", "-X POST");
        ASSERT_EQ(status, 200);
        EXPECT_EQ(acked["acknowledged_by"], "tester");
        EXPECT_EQ(acked["state"], "open");
        // The open alarm's count of detections follows it while it lasts.
        const int counted = acked["detections"].get<int>();
        EXPECT_TRUE(Eventually([&] {
            const auto [status, event] = api(first, "/api/events/" + std::to_string(killedId));
            return status == 200 && event["state"] == "open" && event["detections"].get<int>() > counted;
        }));
        EXPECT_EQ(run.Stop(SIGKILL), -1);
    }
    ASSERT_TRUE(fs::exists(dir / "snaps" / "events.db"));

    // The second run, on the same store (the default: in the snapshot folder), with short events.
    const int second = servers::FreePort();
    Process run(Looped(dir, "door", second, {"--quiet-time", "0"}), (dir / "second.log").string());
    nlohmann::json page;
    ASSERT_TRUE(Eventually([&] {
        const auto [status, body] = api(second, "/api/events?camera=door&unacknowledged=1");
        page = body;
        return status == 200 && page["total"].get<int>() >= 4 && page["events"][0]["state"] == "ended";
    })) << ReadText(dir / "second.log");
    EXPECT_NE(
        ReadText(dir / "second.log").find("events.db: 1 event still open from an earlier run, marked interrupted"),
        std::string::npos)
        << ReadText(dir / "second.log");
    for (const auto& e : page["events"]) {
        EXPECT_GT(e["id"].get<long long>(), killedId) << "ids continue across the restart";
        EXPECT_EQ(e["camera"], "door");
        EXPECT_TRUE(e["acknowledged_ms"].is_null());
        EXPECT_EQ(e["start_utc"].get<std::string>().size(), 24u) << e;
        EXPECT_GE(e["end_ms"].get<long long>(), e["start_ms"].get<long long>());
    }

    const auto [status, killed] = api(second, "/api/events/" + std::to_string(killedId));
    ASSERT_EQ(status, 200);
    EXPECT_EQ(killed["state"], "interrupted");
    EXPECT_EQ(killed["camera"], "gate");
    EXPECT_EQ(killed["acknowledged_by"], "tester") << "the acknowledgement was committed before the kill";
    EXPECT_TRUE(killed["end_ms"].is_null());
    // Its thumbnail is gone with the killed process; its best frame is still served (the
    // snapshot file, or nothing, never another file).
    EXPECT_NE(CurlGet("http://127.0.0.1:" + std::to_string(second) + "/api/events/" + std::to_string(killedId) +
                          "/thumbnail",
                      scratch.string(), auth)
                  .status,
              200);

    // The filters answer what the store holds: every event is in exactly one camera, the
    // acknowledged one is left out of the unacknowledged, pages join up, a time range works.
    // The run goes on adding events: the counts are taken up to a start already committed.
    const std::string upTo = "&until=" + page["events"][0]["start_ms"].dump();
    const auto all = api(second, "/api/events?limit=500" + upTo).second;
    const auto gate = api(second, "/api/events?camera=gate" + upTo).second;
    const auto door = api(second, "/api/events?camera=door&limit=500" + upTo).second;
    EXPECT_EQ(door["total"], page["total"]) << "none of them acknowledged";
    EXPECT_GE(gate["total"], 1);
    EXPECT_EQ(all["total"].get<int>(), gate["total"].get<int>() + door["total"].get<int>());
    EXPECT_EQ(api(second, "/api/events?unacknowledged=1&camera=gate").second["total"].get<int>(),
              gate["total"].get<int>() - 1);
    const auto firstPage = api(second, "/api/events?camera=door&limit=2").second;
    ASSERT_FALSE(firstPage["next_before"].is_null());
    const auto secondPage =
        api(second, "/api/events?camera=door&limit=2&before=" + firstPage["next_before"].dump()).second;
    EXPECT_LT(secondPage["events"][0]["id"], firstPage["events"][1]["id"]);
    const std::string killedStart = killed["start_utc"].get<std::string>();
    const auto until = api(second, "/api/events?camera=gate&until=" + killedStart).second;
    ASSERT_FALSE(until["events"].empty()) << until;
    EXPECT_EQ(until["events"][0]["id"], killedId);
    EXPECT_EQ(api(second, "/api/events?camera=gate&since=" + std::to_string(killed["start_ms"].get<long long>() + 1))
                  .second["total"],
              0);
    EXPECT_EQ(api(second, "/api/events?since=tomorrow").first, 400);
    EXPECT_EQ(run.Stop(SIGTERM, std::chrono::seconds(20)), 130);
}

TEST_F(WeaponDetectTest, AStoreThatCannotBeUsedStopsTheStartAndIsLeftAsItWas) {
    WriteSceneVideo(dir / "clip.avi", 0, 10);
    const std::string records = "weapon-detect records, not a database\n";
    std::ofstream(dir / "notes.db") << records;
    const struct {
        const char* name;
        std::string path;
        const char* reason;
    } cases[] = {
        {"a file that is not SQLite", (dir / "notes.db").string(), "not an event store: file is not a database"},
        {"a folder that is not there", (dir / "none" / "events.db").string(), "cannot open the event store: no folder"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome o = RunProgram((dir / "clip.avi").string() + " --module " STEADY_MODULE " -q -o " +
                                         (dir / "out.jsonl").string() + " --snapshots " + (dir / "snaps").string() +
                                         " --events-db " + c.path,
                                     dir);
        EXPECT_EQ(o.status, 1);
        EXPECT_NE(o.err.find("weapon-detect: " + c.path + ": " + c.reason), std::string::npos) << o.err;
    }
    EXPECT_EQ(ReadText(dir / "notes.db"), records);
    EXPECT_FALSE(fs::exists(dir / "none"));
    EXPECT_FALSE(fs::exists(dir / "snaps" / "events.db")) << "no other store is made instead";
}
