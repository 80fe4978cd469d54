// Bounded storage on its own: sizes as a site writes them, and what a pass of retention
// removes from a real event store's folder of real files (store/retention.h).
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <CLI/CLI.hpp>
#include <gtest/gtest.h>

#include "options.h"
#include "store/byte_size.h"
#include "store/event_store.h"
#include "store/retention.h"
#include "store/utc_time.h"
#include "web/metrics_text.h"

namespace fs = std::filesystem;
using namespace weapon_detect;

namespace {

constexpr long long kDayMs = 24LL * 60 * 60 * 1000;
constexpr long long kNow = 1'800'000'000'000;

TEST(ByteSize, ReadsSizesAsSitesWriteThem) {
    const struct {
        const char* text;
        std::uint64_t bytes;
    } good[] = {
        {"4096", 4096},          {"1", 1},
        {"500M", 500ull << 20},  {"20G", 20ull << 30},
        {"20g", 20ull << 30},    {"20GB", 20ull << 30},
        {"20GiB", 20ull << 30},  {"1.5G", 3ull << 29},
        {"64K", 64ull << 10},    {"2T", 2ull << 40},
        {"300 M", 300ull << 20}, {"10B", 10},
    };
    for (const auto& c : good) EXPECT_EQ(ParseByteSize(c.text), c.bytes) << c.text;
    for (const char* bad :
         {"", "0", "0M", "-5M", "M", "5X", "5MM", "1.5", "5GBx", "1e9", "twenty", " 5M", "99999999T"}) {
        EXPECT_THROW(ParseByteSize(bad), std::invalid_argument) << bad;
    }
}

TEST(ByteSize, AMalformedSizeIsRefusedWithTheOptionsName) {
    for (const char* flag : {"--max-storage", "--min-free"}) {
        CLI::App app;
        Options options;
        AddOptions(app, options);
        std::vector<std::string> args = {"5X", flag};  // CLI11 takes them from the back
        try {
            app.parse(args);
            ADD_FAILURE() << flag << " 5X was taken";
        } catch (const CLI::ParseError& e) {
            EXPECT_NE(std::string(e.what()).find(flag), std::string::npos) << e.what();
        }
    }
}

// A folder with an event store and real small files, and a user's own file beside them.
class RetentionTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() / ("retention_" + std::to_string(getpid()) + "_" +
                                               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        store_ = std::make_unique<EventStore>((folder_ / "events.db").string());
        Write(folder_ / "notes.txt", 5000);         // the user's
        Write(folder_ / "detections.jsonl", 5000);  // the records
    }
    void TearDown() override {
        store_.reset();
        fs::remove_all(folder_);
    }

    static void Write(const fs::path& path, size_t bytes) {
        std::ofstream out(path, std::ios::binary);
        out << std::string(bytes, 'x');
        ASSERT_TRUE(out.flush()) << path;
    }

    // An ended event started at `startMs` with a snapshot and a clip of `bytes` each.
    long long Event(const std::string& name, long long startMs, bool acknowledged, size_t bytes = 500,
                    const std::string& state = "ended", const std::string& clipState = "ready") {
        StoredEvent e;
        e.camera = "door";
        e.className = "pistol";
        e.state = state;
        e.startMs = startMs;
        e.updatedMs = startMs;
        e.snapshot = name + ".jpg";
        e.clip = name + ".mp4";
        e.clipState = clipState;
        Write(folder_ / e.snapshot, bytes);
        Write(folder_ / e.clip, bytes);
        const long long id = store_->Insert(e);
        if (acknowledged) store_->Ack(id, "guard", startMs + 1000);
        ids_[name] = id;
        return id;
    }

    bool Removed(const std::string& name) const {
        const auto e = store_->Find(ids_.at(name));
        const bool gone = !fs::exists(folder_ / (name + ".jpg")) && !fs::exists(folder_ / (name + ".mp4"));
        EXPECT_EQ(gone, e && e->filesRemovedMs.has_value()) << name << ": files and row disagree";
        return gone;
    }

    // One pass with these bounds; what it said on standard error.
    std::string Pass(RetentionSettings settings, long long nowMs = kNow) {
        settings.folder = folder_.string();
        retention_ = std::make_unique<Retention>(settings, *store_);
        ::testing::internal::CaptureStderr();
        retention_->Pass(nowMs);
        return ::testing::internal::GetCapturedStderr();
    }

    std::string MetricsText() const {
        weapon_detect::MetricsText m;
        retention_->Metrics(m);
        return m.text();
    }

    fs::path folder_;
    std::unique_ptr<EventStore> store_;
    std::unique_ptr<Retention> retention_;
    std::map<std::string, long long> ids_;
};

TEST_F(RetentionTest, TheSizeBoundRemovesTheOldestAcknowledgedFirstAndNeverTouchesOpenOrRecordingEvents) {
    Event("open", kNow - 50 * kDayMs, true, 500, "open", "recording");
    Event("recording", kNow - 40 * kDayMs, true, 500, "ended", "recording");
    Event("unacked-old", kNow - 30 * kDayMs, false);
    Event("acked-1", kNow - 20 * kDayMs, true);
    Event("acked-2", kNow - 10 * kDayMs, true);
    Event("acked-3", kNow - 5 * kDayMs, true);
    // 6 events of 1000 bytes each over a bound of 4500: two must go, neither busy one.
    RetentionSettings bound;
    bound.maxBytes = 4500;
    const std::string said = Pass(bound);
    EXPECT_TRUE(Removed("acked-1"));
    EXPECT_TRUE(Removed("acked-2"));
    for (const char* kept : {"open", "recording", "unacked-old", "acked-3"}) EXPECT_FALSE(Removed(kept)) << kept;
    EXPECT_NE(said.find("weapon-detect: storage: removed the files of 2 events (0.0 MB), oldest from " +
                        FormatUtc(kNow - 20 * kDayMs)),
              std::string::npos)
        << said;
    EXPECT_NE(said.find("; reason max-storage"), std::string::npos) << said;
    EXPECT_EQ(said.find("unacknowledged"), std::string::npos) << said;
    EXPECT_EQ(retention_->storageBytes(), 4000u);
    const std::string metrics = MetricsText();
    EXPECT_NE(metrics.find("weapon_detect_retention_removed_total{reason=\"max-storage\"} 2"), std::string::npos)
        << metrics;
    EXPECT_NE(metrics.find("weapon_detect_retention_removed_bytes_total 2000"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("weapon_detect_storage_bytes{folder=\"" + folder_.string() + "\"} 4000"), std::string::npos)
        << metrics;

    // Tighter: the unacknowledged alarm goes only once nothing else is left, and that is said;
    // the open and recording events stay although the bound is still not met.
    bound.maxBytes = 500;
    const std::string again = Pass(bound);
    EXPECT_TRUE(Removed("acked-3"));
    EXPECT_TRUE(Removed("unacked-old"));
    EXPECT_FALSE(Removed("open"));
    EXPECT_FALSE(Removed("recording"));
    EXPECT_NE(again.find("removed the files of 2 events"), std::string::npos) << again;
    EXPECT_NE(again.find("1 of them unacknowledged alarm: nothing else was left to remove (reason max-storage)"),
              std::string::npos)
        << again;
    // Rows kept, other files kept.
    EXPECT_EQ(store_->Count(), 6);
    for (const char* other : {"notes.txt", "detections.jsonl", "events.db"}) EXPECT_TRUE(fs::exists(folder_ / other));
    // A removed event is not counted or removed again.
    EXPECT_EQ(Pass(bound), "");
}

TEST_F(RetentionTest, TheAgeBoundRemovesEveryOldEventsFilesAndSaysWhenAlarmsWereAmongThem) {
    Event("old-acked", kNow - 9 * kDayMs, true);
    Event("old-unacked", kNow - 8 * kDayMs, false);
    Event("recent", kNow - 6 * kDayMs, false);
    Event("old-open", kNow - 9 * kDayMs, false, 500, "open", "none");
    RetentionSettings age;
    age.retainDays = 7;
    const std::string said = Pass(age);
    EXPECT_TRUE(Removed("old-acked"));
    EXPECT_TRUE(Removed("old-unacked"));
    EXPECT_FALSE(Removed("recent"));
    EXPECT_FALSE(Removed("old-open"));
    EXPECT_NE(said.find("removed the files of 2 events"), std::string::npos) << said;
    EXPECT_NE(said.find("reason retain-days"), std::string::npos) << said;
    EXPECT_NE(said.find("1 of them unacknowledged alarm"), std::string::npos) << said;
}

TEST_F(RetentionTest, OnlyFilesTheStoreNamesInsideTheFolderAreRemoved) {
    // An event naming a file outside the folder (a store beside other folders) keeps it.
    const fs::path outside = folder_.parent_path() / ("retention_outside_" + std::to_string(getpid()) + ".jpg");
    Write(outside, 500);
    StoredEvent e;
    e.camera = "door";
    e.className = "pistol";
    e.state = "ended";
    e.startMs = kNow - 100 * kDayMs;
    e.snapshot = outside.string();
    const long long id = store_->Insert(e);
    store_->Ack(id, "guard", kNow);
    Event("inside", kNow - 99 * kDayMs, true);
    RetentionSettings age;
    age.retainDays = 1;
    Pass(age);
    EXPECT_TRUE(fs::exists(outside));
    EXPECT_FALSE(store_->Find(id)->filesRemovedMs);
    EXPECT_TRUE(Removed("inside"));
    for (const char* other : {"notes.txt", "detections.jsonl", "events.db"}) EXPECT_TRUE(fs::exists(folder_ / other));
    fs::remove(outside);
}

TEST_F(RetentionTest, BelowTheFloorClipsStopThenSnapshotsAndOnlyAcknowledgedFilesMakeRoom) {
    Event("unacked", kNow - 3 * kDayMs, false, 4000);
    Event("acked", kNow - 2 * kDayMs, true, 4000);
    std::uint64_t freeBytes = 9000;  // what the "file system" has, moved by the removals
    RetentionSettings floor;
    floor.minFree = 10000;
    floor.freeBytes = [&] { return freeBytes; };
    // Without a bound nothing is removed: the clips stop and that is said once.
    std::string said = Pass(floor);
    EXPECT_FALSE(Removed("acked"));
    EXPECT_NE(said.find("below the floor of"), std::string::npos) << said;
    ::testing::internal::CaptureStderr();
    const std::string why = retention_->ClipRefusal();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");  // not said again
    EXPECT_NE(why.find("below the floor"), std::string::npos) << why;
    EXPECT_EQ(retention_->SnapshotRefusal(), "");  // above half the floor
    EXPECT_TRUE(retention_->Json()["below_floor"].get<bool>());
    freeBytes = 4000;
    EXPECT_NE(retention_->ClipRefusal(), "");
    EXPECT_NE(retention_->SnapshotRefusal().find("below half the floor"), std::string::npos);

    // With a bound set, the floor first removes what it may: the acknowledged event, never the
    // unacknowledged alarm; then the clips go on.
    floor.maxBytes = 1ull << 30;
    floor.freeBytes = [&] { return freeBytes + (fs::exists(folder_ / "acked.mp4") ? 0 : 8000); };
    freeBytes = 9000;
    said = Pass(floor);
    EXPECT_TRUE(Removed("acked"));
    EXPECT_FALSE(Removed("unacked"));
    EXPECT_NE(said.find("reason min-free"), std::string::npos) << said;
    EXPECT_NE(said.find("above the floor"), std::string::npos) << said;
    EXPECT_EQ(retention_->ClipRefusal(), "");
}

TEST_F(RetentionTest, AStopEndsTheThreadAtOnce) {
    RetentionSettings bound;
    bound.maxBytes = 1ull << 30;
    bound.interval = std::chrono::hours(1);
    bound.folder = folder_.string();
    const auto start = std::chrono::steady_clock::now();
    {
        Retention retention(bound, *store_);
        retention.Start();
        retention.Wake();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

}  // namespace
