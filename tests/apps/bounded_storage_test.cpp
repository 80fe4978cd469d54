// Bounded storage of the real program on a small file system of its own (a tmpfs mounted
// here; the tests run as root): old events' files removed oldest first, an unacknowledged
// alarm's kept while others can go, the store's rows kept and marked, and below the free-space
// floor the clips skipped while the records are still written; the lines, the API and the
// metrics say so.
#include <sys/mount.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>

#include "program_harness.h"
#include "support/http_probe.h"
#include "support/servers.h"

using namespace program_test;
using servers::CurlGet;
using servers::Process;
using servers::Within;

namespace {

constexpr long long kDayMs = 24LL * 60 * 60 * 1000;

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// "2026-12-01": the UTC day of an epoch time in ms.
std::string Day(long long ms) {
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", &utc);
    return text;
}

std::uint64_t FreeBytes(const fs::path& folder) {
    struct statvfs s {};
    if (statvfs(folder.c_str(), &s) != 0) return 0;
    return static_cast<std::uint64_t>(s.f_bavail) * s.f_frsize;
}

void WriteBytes(const fs::path& path, size_t bytes) {
    std::ofstream out(path, std::ios::binary);
    out << std::string(bytes, 'x');
    ASSERT_TRUE(out.flush()) << path;
}

// A tmpfs of its own under the scratch folder, unmounted at the end.
class BoundedStorageTest : public WeaponDetectTest {
protected:
    void SetUp() override {
        WeaponDetectTest::SetUp();
        disk = dir / "disk";
        fs::create_directories(disk);
        if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=64m") != 0) {
            GTEST_SKIP() << "cannot mount a tmpfs at " << disk << " (" << std::strerror(errno)
                         << "): this test needs root or CAP_SYS_ADMIN";
        }
        mounted = true;
    }
    void TearDown() override {
        if (mounted && umount2(disk.c_str(), MNT_DETACH) != 0) {
            ADD_FAILURE() << "cannot unmount " << disk << ": " << std::strerror(errno);
        }
        WeaponDetectTest::TearDown();
    }
    fs::path disk;
    bool mounted = false;
};

std::string Url(int port, const std::string& path) { return "http://127.0.0.1:" + std::to_string(port) + path; }

}  // namespace

TEST_F(BoundedStorageTest, OldFilesGoOldestAcknowledgedFirstAndBelowTheFloorClipsStopWhileRecordsGoOn) {
    // The snapshot folder on the small disk, with the records in it; the demo's scene and
    // annotated video beside it on the ordinary one (they take hundreds of MB).
    const fs::path out = dir / "demo", snapshots = disk / "snapshots", db = snapshots / "events.db",
                   records = snapshots / "detections.jsonl";
    const std::vector<std::string> demo = {"--demo",           "--output-dir", out.string(),    "--snapshots",
                                           snapshots.string(), "-o",           records.string()};
    fs::create_directories(snapshots);
    // A first run leaves a real event (unacknowledged) with its snapshot and clip.
    const auto first = RunProgram("--demo --quiet --output-dir " + out.string() + " --snapshots " + snapshots.string() +
                                      " -o " + records.string(),
                                  dir);
    ASSERT_EQ(first.status, 0) << first.err;
    std::uintmax_t firstEventBytes = 0;
    for (const auto& f : fs::directory_iterator(snapshots)) {
        if (f.path().extension() == ".jpg" || f.path().extension() == ".mp4") firstEventBytes += f.file_size();
    }
    ASSERT_GT(firstEventBytes, 0u);

    // Older history: that event made the oldest (20 days), two acknowledged ones after it
    // (10 and 5 days) with 2 MiB of files each; and a file of the user's own.
    const long long now = NowMs();
    const long long unackedStart = now - 20 * kDayMs, oldAckedStart = now - 10 * kDayMs,
                    newAckedStart = now - 5 * kDayMs;
    for (const char* name : {"old-acked", "new-acked"}) {
        WriteBytes(snapshots / (std::string(name) + ".jpg"), 1 << 20);
        WriteBytes(snapshots / (std::string(name) + ".mp4"), 1 << 20);
    }
    WriteBytes(snapshots / "mine.txt", 3 << 20);
    std::ofstream script(dir / "prefill.py");
    script
        << "import sqlite3, sys\n"
           "db = sqlite3.connect(sys.argv[1])\n"
           "db.execute('UPDATE events SET start_ms = ?', (int(sys.argv[2]),))\n"
           "for name, start in (('old-acked', int(sys.argv[3])), ('new-acked', int(sys.argv[4]))):\n"
           "    db.execute(\"INSERT INTO events (camera, class_name, best_confidence, state, phase, start_ms, \"\n"
           "               \"end_ms, updated_ms, start_time, end_time, first_frame, last_frame, detections, \"\n"
           "               \"snapshot, clip, clip_state, acknowledged_ms, acknowledged_by) VALUES ('demo_scene', \"\n"
           "               \"'handgun', 0.9, 'ended', 'end', ?, ?, ?, 0, 1, 0, 25, 10, ?, ?, 'ready', ?, 'guard')\",\n"
           "               (start, start + 1000, start + 1000, name + '.jpg', name + '.mp4', start + 2000))\n"
           "db.commit()\n";
    script.close();
    ASSERT_EQ(std::system(("python3 " + (dir / "prefill.py").string() + " " + db.string() + " " +
                           std::to_string(unackedStart) + " " + std::to_string(oldAckedStart) + " " +
                           std::to_string(newAckedStart))
                              .c_str()),
              0);

    // The bound leaves room for the unacknowledged alarm and one acknowledged event: the older
    // acknowledged one goes although the alarm is older still. The floor stands above the free
    // space (the files removed included) but below twice it: clips stop, snapshots go on, and
    // the floor removes the other acknowledged event first.
    const std::uint64_t bound = firstEventBytes + (5 << 19);
    const std::uint64_t floor = FreeBytes(disk) + (32 << 20);
    ASSERT_LT(floor / 2 + (8 << 20), FreeBytes(disk)) << "the tmpfs is too small for the floor's half";
    const int port = servers::FreePort();
    const fs::path log = dir / "run.log";
    std::vector<std::string> args = demo;
    args.insert(args.end(), {"--http", "127.0.0.1:" + std::to_string(port), "--keep-serving", "--max-storage",
                             std::to_string(bound), "--min-free", std::to_string(floor)});
    Process run(Program(args), log.string());
    ASSERT_TRUE(Within(std::chrono::seconds(300), [&] {
        return ReadText(log).find("until stopped") != std::string::npos;
    })) << ReadText(log);
    const std::string said = ReadText(log);

    // The lines: one per batch, with its reason; the floor said once.
    EXPECT_NE(said.find("weapon-detect: storage: removed the files of 1 event (2.1 MB), oldest from " +
                        Day(oldAckedStart)),
              std::string::npos)
        << said;
    EXPECT_NE(said.find("; reason max-storage"), std::string::npos) << said;
    EXPECT_NE(said.find("weapon-detect: storage: removed the files of 1 event (2.1 MB), oldest from " +
                        Day(newAckedStart) + "T"),
              std::string::npos)
        << said;
    EXPECT_NE(said.find("; reason min-free"), std::string::npos) << said;
    EXPECT_EQ(said.find("unacknowledged alarm"), std::string::npos) << said;
    EXPECT_NE(said.find("below the floor of"), std::string::npos) << said;
    EXPECT_NE(said.find("no clip for the event at frame"), std::string::npos) << said;

    // Files: the acknowledged events' gone, the alarm's and everything else kept.
    for (const char* gone : {"old-acked.jpg", "old-acked.mp4", "new-acked.jpg", "new-acked.mp4"}) {
        EXPECT_FALSE(fs::exists(snapshots / gone)) << gone;
    }
    for (const fs::path& kept : {snapshots / "mine.txt", db, records, out / "annotated.mp4"}) {
        EXPECT_TRUE(fs::exists(kept)) << kept;
    }

    // The rows stay, marked; the removed files' routes say why.
    const auto page = CurlGet(Url(port, "/api/events?limit=10"), (dir / "events.json").string());
    ASSERT_EQ(page.status, 200);
    const nlohmann::json events = nlohmann::json::parse(page.body)["events"];
    ASSERT_EQ(events.size(), 4u) << page.body;
    std::map<long long, nlohmann::json> byStart;
    for (const auto& e : events) byStart[e["start_ms"].get<long long>()] = e;
    const nlohmann::json& unacked = byStart.at(unackedStart);
    const nlohmann::json& oldAcked = byStart.at(oldAckedStart);
    const nlohmann::json& newest = byStart.rbegin()->second;
    EXPECT_TRUE(unacked["files_removed_ms"].is_null());
    EXPECT_TRUE(byStart.at(newAckedStart)["files_removed_ms"].is_number());
    ASSERT_TRUE(oldAcked["files_removed_ms"].is_number()) << oldAcked.dump();
    const auto gone = CurlGet(Url(port, "/api/events/" + std::to_string(oldAcked["id"].get<long long>()) + "/snapshot"),
                              (dir / "gone.json").string());
    EXPECT_EQ(gone.status, 410);
    EXPECT_NE(gone.body.find("removed to bound the storage"), std::string::npos) << gone.body;
    EXPECT_EQ(CurlGet(Url(port, "/api/events/" + std::to_string(unacked["id"].get<long long>()) + "/snapshot"),
                      (dir / "kept.jpg").string())
                  .status,
              200);

    // This run's event: no clip (the floor), its snapshot and record written all the same.
    EXPECT_TRUE(newest["files_removed_ms"].is_null());
    EXPECT_NE(newest["clip_state"], "ready") << newest.dump();
    nlohmann::json record;
    for (const auto& r : ReadLines(records)) {
        if (r["type"] == "event") record = r;
    }
    ASSERT_TRUE(record.contains("clip")) << "no event record";
    EXPECT_TRUE(record["clip"].is_null()) << record.dump();
    ASSERT_TRUE(record["snapshot"].is_string()) << record.dump();
    EXPECT_TRUE(fs::exists(record["snapshot"].get<std::string>()));

    // The page's storage notice and the metrics.
    const auto storage = CurlGet(Url(port, "/api/storage"), (dir / "storage.json").string());
    ASSERT_EQ(storage.status, 200);
    const nlohmann::json s = nlohmann::json::parse(storage.body);
    EXPECT_TRUE(s["below_floor"].get<bool>()) << storage.body;
    EXPECT_EQ(s["clips"], "skipped");
    EXPECT_EQ(s["snapshots"], "written");
    const auto metrics = CurlGet(Url(port, "/metrics"), (dir / "metrics.txt").string());
    ASSERT_EQ(metrics.status, 200);
    for (const std::string& line : {std::string("weapon_detect_retention_removed_total{reason=\"max-storage\"} 1"),
                                    std::string("weapon_detect_retention_removed_total{reason=\"min-free\"} 1"),
                                    std::string("weapon_detect_retention_removed_total{reason=\"retain-days\"} 0"),
                                    std::string("weapon_detect_retention_removed_bytes_total 4194304"),
                                    "weapon_detect_storage_bytes{folder=\"" + snapshots.string() + "\"} ",
                                    "weapon_detect_free_bytes{folder=\"" + snapshots.string() + "\"} ",
                                    std::string("weapon_detect_clips_skipped_total{camera=\"demo_scene\"} 1")}) {
        EXPECT_NE(metrics.body.find(line), std::string::npos) << line << "\n" << metrics.body;
    }
    EXPECT_EQ(run.Stop(SIGTERM, std::chrono::seconds(30)), 0) << ReadText(log);
}
