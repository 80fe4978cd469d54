// The event store against real SQLite files, through the event table the program uses: event
// sequences, restarts, filters and paging, acknowledgements, deliveries, the schema's
// migration from its first version, files that must be refused and left alone; and the API
// routes over it, served by the real web server on a loopback port.
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include <gtest/gtest.h>

#include "store/event_store.h"
#include "store/utc_time.h"
#include "support/http_probe.h"
#include "support/servers.h"
#include "web/event_table.h"
#include "web/web_server.h"

namespace fs = std::filesystem;
using namespace weapon_detect;

namespace {

class EventStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("event_store_" + std::to_string(getpid()) + "_" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        db = (dir / "events.db").string();
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path dir;
    std::string db;
};

AlarmEvent Event(long long first, float score, double start = 1.0, double end = 1.0, int detections = 1,
                 const std::string& className = "pistol") {
    AlarmEvent e;
    e.firstFrame = first;
    e.lastFrame = first + detections - 1;
    e.startTime = start;
    e.endTime = end;
    e.detections = detections;
    e.bestConfidence = score;
    e.className = className;
    return e;
}

// Runs raw SQL on a file, as another program (or an older one) would.
void RawSql(const std::string& path, const std::string& sql) {
    sqlite3* handle = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &handle), SQLITE_OK);
    char* message = nullptr;
    const int rc = sqlite3_exec(handle, sql.c_str(), nullptr, nullptr, &message);
    const std::string reason = message ? message : "";
    sqlite3_free(message);
    sqlite3_close(handle);
    ASSERT_EQ(rc, SQLITE_OK) << reason;
}

long long RawNumber(const std::string& path, const std::string& sql) {
    sqlite3* handle = nullptr;
    sqlite3_open_v2(path.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* stmt = nullptr;
    long long value = -1;
    if (sqlite3_prepare_v2(handle, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW)
        value = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    sqlite3_close(handle);
    return value;
}

std::string Bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The first schema as its program wrote it.
const char* kVersion1 = R"(
PRAGMA application_id = 1464095572;  -- "WDST"
CREATE TABLE events (
  id INTEGER PRIMARY KEY AUTOINCREMENT, camera TEXT NOT NULL, class_name TEXT NOT NULL,
  best_confidence REAL NOT NULL, state TEXT NOT NULL CHECK (state IN ('open', 'ended', 'interrupted')),
  phase TEXT NOT NULL, start_ms INTEGER NOT NULL, end_ms INTEGER, updated_ms INTEGER NOT NULL,
  start_time REAL NOT NULL, end_time REAL NOT NULL, first_frame INTEGER NOT NULL, last_frame INTEGER NOT NULL,
  detections INTEGER NOT NULL, snapshot TEXT, clip TEXT, clip_state TEXT NOT NULL);
CREATE INDEX events_by_camera ON events (camera, id);
CREATE INDEX events_by_start ON events (start_ms);
PRAGMA user_version = 1;
)";

}  // namespace

TEST_F(EventStoreTest, EventSequencesAreStoredAsTheyHappen) {
    struct Step {
        const char* phase;
        float score;
        const char* clip;  // ClipDone after this step: "ready", "failed" or nothing
    };
    const struct Case {
        const char* name;
        std::vector<Step> steps;
        const char* state;
        float best;
        const char* clipState;
    } cases[] = {
        {"only started", {{"start", 0.6f, nullptr}}, "open", 0.6f, "recording"},
        {"three better scores, then its end",
         {{"start", 0.5f, nullptr},
          {"update", 0.6f, nullptr},
          {"update", 0.7f, nullptr},
          {"update", 0.9f, nullptr},
          {"end", 0.9f, nullptr}},
         "ended",
         0.9f,
         "recording"},
        {"its clip written after its end", {{"start", 0.5f, nullptr}, {"end", 0.5f, "ready"}}, "ended", 0.5f, "ready"},
        {"its clip lost while open", {{"start", 0.5f, "failed"}, {"end", 0.8f, nullptr}}, "ended", 0.8f, "failed"},
    };
    long long first = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::pair<std::string, nlohmann::ordered_json>> heard;
        long long id = 0;
        {
            EventTable table(std::make_unique<EventStore>(db));
            table.SetListener(
                [&](const std::string& type, const nlohmann::ordered_json& e) { heard.emplace_back(type, e); });
            first += 100;
            int detections = 0;
            for (const Step& s : c.steps) {
                ++detections;
                const std::string phase = s.phase;
                const std::string snapshot = phase == "end" ? (dir / "cam_1.jpg").string() : "";
                const long long got = table.Update("cam", Event(first, s.score, 2.0, 2.0 + detections, detections),
                                                   s.phase, nullptr, snapshot, (dir / "cam_1.mp4").string());
                if (id == 0) id = got;
                EXPECT_EQ(got, id) << "an event keeps its id";
                if (s.clip) table.ClipDone("cam", first, std::string(s.clip) == "ready");
            }
        }
        // What a later run reads.
        EventStore store(db);
        const auto e = store.Find(id);
        ASSERT_TRUE(e);
        const bool open = std::string(c.state) == "open";
        EXPECT_EQ(e->state, open ? "interrupted" : c.state);
        EXPECT_FLOAT_EQ(static_cast<float>(e->bestConfidence), c.best);
        EXPECT_EQ(e->detections, static_cast<int>(c.steps.size()));
        EXPECT_EQ(e->phase, c.steps.back().phase);
        EXPECT_EQ(e->endMs.has_value(), !open);
        if (!open) {
            EXPECT_EQ(*e->endMs - e->startMs, static_cast<long long>(c.steps.size()) * 1000);
            EXPECT_EQ(e->snapshot, "cam_1.jpg");
        }
        // A clip still being recorded when the program went away will never be whole.
        const std::string clipState = c.clipState;
        EXPECT_EQ(e->clipState, clipState == "recording" ? "lost" : clipState);
        EXPECT_EQ(e->clip, clipState == "failed" ? "" : "cam_1.mp4") << "relative to the store's folder";
        EXPECT_EQ(store.FullPath(e->clip), clipState == "failed" ? "" : (dir / "cam_1.mp4").string());
        // One message per committed change, each the event as it then stood.
        const size_t changes = c.steps.size() + std::count_if(c.steps.begin(), c.steps.end(),
                                                              [](const Step& s) { return s.clip != nullptr; });
        ASSERT_EQ(heard.size(), changes);
        EXPECT_EQ(heard.front().second["state"], "open");
        EXPECT_EQ(heard.back().second["id"], id);
        EXPECT_EQ(heard.back().second["state"], c.state);
        EXPECT_FLOAT_EQ(heard.back().second["best_confidence"].get<float>(), c.best);
    }
}

TEST_F(EventStoreTest, ARestartMarksOpenEventsInterruptedAndContinuesTheIds) {
    long long open = 0, last = 0;
    {
        EventTable table(std::make_unique<EventStore>(db));
        open = table.Update("a", Event(10, 0.7f), "start", nullptr, "", "");
        last = table.Update("b", Event(20, 0.8f), "start", nullptr, "", "");
        table.Update("b", Event(20, 0.8f), "end", nullptr, "", "");
    }
    // The newest row gone (by hand): its id is still never given again.
    RawSql(db, "DELETE FROM events WHERE id = " + std::to_string(last));
    testing::internal::CaptureStderr();
    EventTable table(std::make_unique<EventStore>(db));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(db + ": 1 event still open from an earlier run, marked interrupted"), std::string::npos) << err;
    EXPECT_EQ(table.store().interrupted(), 1);
    EXPECT_EQ(table.Find(open)->event.state, "interrupted");
    EXPECT_GT(table.Update("a", Event(10, 0.7f), "start", nullptr, "", ""), last);
    sqlite3* handle = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &handle), SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(handle, "PRAGMA journal_mode", -1, &stmt, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)), "wal");
    sqlite3_finalize(stmt);
    sqlite3_close(handle);
}

TEST_F(EventStoreTest, FiltersAndPagesReturnWhatTheStoreHolds) {
    EventStore store(db);
    // 60 events over three cameras and two classes, a minute apart; every fifth acknowledged.
    std::vector<StoredEvent> all;
    const long long base = 1765436400000;
    for (int i = 0; i < 60; ++i) {
        StoredEvent e;
        e.camera = "cam" + std::to_string(i % 3);
        e.className = i % 2 ? "rifle" : "pistol";
        e.startMs = base + i * 60000LL;
        e.updatedMs = e.startMs;
        e.id = store.Insert(e);
        if (i % 5 == 0) store.Ack(e.id, "guard", e.startMs + 1);
        all.push_back(store.Find(e.id).value());
    }
    struct Case {
        const char* name;
        EventQuery query;
    };
    std::vector<Case> cases(6);
    cases[0].name = "all";
    cases[1].name = "one camera";
    cases[1].query.camera = "cam1";
    cases[2].name = "camera and class";
    cases[2].query.camera = "cam2";
    cases[2].query.className = "rifle";
    cases[3].name = "a time range";
    cases[3].query.sinceMs = base + 10 * 60000LL;
    cases[3].query.untilMs = base + 20 * 60000LL;
    cases[4].name = "unacknowledged of one class";
    cases[4].query.unacknowledged = true;
    cases[4].query.className = "pistol";
    cases[5].name = "nothing matches";
    cases[5].query.camera = "cam9";
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<long long> expected;
        for (auto it = all.rbegin(); it != all.rend(); ++it) {
            const EventQuery& q = c.query;
            if ((q.camera && it->camera != *q.camera) || (q.className && it->className != *q.className) ||
                (q.sinceMs && it->startMs < *q.sinceMs) || (q.untilMs && it->startMs > *q.untilMs) ||
                (q.unacknowledged && it->acknowledgedMs)) {
                continue;
            }
            expected.push_back(it->id);
        }
        // Pages of 7, each newest first, together every match once.
        c.query.limit = 7;
        std::vector<long long> got;
        for (int pages = 0; pages < 20; ++pages) {
            const EventPage page = store.Query(c.query);
            EXPECT_EQ(page.total, static_cast<long long>(expected.size()));
            for (const StoredEvent& e : page.events) got.push_back(e.id);
            if (!page.nextBefore) break;
            EXPECT_EQ(*page.nextBefore, page.events.back().id);
            c.query.before = page.nextBefore;
        }
        EXPECT_EQ(got, expected);
    }
}

TEST_F(EventStoreTest, AnAcknowledgementIsKeptOnceAndSurvivesUpdatesAndRestarts) {
    long long id = 0;
    {
        EventTable table(std::make_unique<EventStore>(db));
        std::vector<std::string> heard;
        table.SetListener([&](const std::string& type, const nlohmann::ordered_json&) { heard.push_back(type); });
        id = table.Update("cam", Event(5, 0.5f), "start", nullptr, "", "");
        const auto first = table.Ack(id, "alice");
        ASSERT_TRUE(first);
        EXPECT_EQ(first->Json()["acknowledged_by"], "alice");
        const auto second = table.Ack(id, "bob");
        EXPECT_EQ(second->event.acknowledgedBy, "alice");
        EXPECT_EQ(second->event.acknowledgedMs, first->event.acknowledgedMs);
        EXPECT_FALSE(table.Ack(id + 100, "x"));
        // A later update of the open event neither drops nor hides the acknowledgement.
        nlohmann::ordered_json updated;
        table.SetListener([&](const std::string&, const nlohmann::ordered_json& e) { updated = e; });
        table.Update("cam", Event(5, 0.9f), "update", nullptr, "", "");
        EXPECT_EQ(updated["acknowledged_by"], "alice");
        EXPECT_EQ(heard, (std::vector<std::string>{"event", "ack", "ack"}));
        EventQuery unacknowledged;
        unacknowledged.unacknowledged = true;
        EXPECT_TRUE(table.Query(unacknowledged).events.empty());
    }
    EventStore store(db);
    const auto e = store.Find(id);
    EXPECT_EQ(e->acknowledgedBy, "alice");
    EXPECT_FLOAT_EQ(static_cast<float>(e->bestConfidence), 0.9f);
    const auto json = EventEntry{*e, nullptr, "", ""}.Json();
    EXPECT_EQ(json["acknowledged_utc"], FormatUtc(*e->acknowledgedMs));
}

TEST_F(EventStoreTest, DeliveriesAreKeptPerChannel) {
    EventTable table(std::make_unique<EventStore>(db));
    const long long id = table.Update("cam", Event(5, 0.5f), "start", nullptr, "", "");
    table.SetDelivery(id, "mqtt", "pending", 0, "");
    table.SetDelivery(id, "webhook 1", "failed", 3, "connection refused");
    table.SetDelivery(id, "mqtt", "delivered", 1, "");
    table.SetDelivery(id + 50, "mqtt", "delivered", 1, "");  // no such event: nothing stored
    const auto json = table.Find(id)->Json();
    EXPECT_EQ(json["deliveries"].dump(),
              R"([{"channel":"mqtt","state":"delivered","attempts":1,"error":""},)"
              R"({"channel":"webhook 1","state":"failed","attempts":3,"error":"connection refused"}])");
    EXPECT_EQ(RawNumber(db, "SELECT count(*) FROM deliveries"), 2);
    EXPECT_EQ(table.storeFailures(), 0);
}

TEST_F(EventStoreTest, AFirstVersionFileIsMigratedKeepingItsRows) {
    RawSql(db, kVersion1);
    RawSql(db,
           "INSERT INTO events (camera, class_name, best_confidence, state, phase, start_ms, end_ms, updated_ms, "
           "start_time, end_time, first_frame, last_frame, detections, snapshot, clip, clip_state) VALUES "
           "('door', 'pistol', 0.8, 'ended', 'end', 1000, 2000, 2000, 1.0, 2.0, 25, 50, 9, 'door_25.jpg', "
           "'door_25.mp4', 'ready'), "
           "('door', 'rifle', 0.7, 'open', 'update', 3000, NULL, 3500, 3.0, 3.5, 75, 87, 4, NULL, NULL, 'none')");
    testing::internal::CaptureStderr();
    EventTable table(std::make_unique<EventStore>(db));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(RawNumber(db, "PRAGMA user_version"), EventStore::kVersion);
    const auto old = table.Find(1);
    ASSERT_TRUE(old);
    EXPECT_EQ(old->event.className, "pistol");
    EXPECT_EQ(old->event.detections, 9);
    EXPECT_EQ(old->snapshotPath, (dir / "door_25.jpg").string());
    EXPECT_EQ(old->Json()["clip"], "/api/events/1/clip");
    EXPECT_FALSE(old->event.acknowledgedMs);
    EXPECT_EQ(table.Find(2)->event.state, "interrupted");
    // The new columns and table work on the old rows.
    EXPECT_EQ(table.Ack(1, "night shift")->event.acknowledgedBy, "night shift");
    table.SetDelivery(1, "mqtt", "delivered", 1, "");
    EXPECT_EQ(table.Find(1)->event.deliveries.size(), 1u);
    EXPECT_EQ(table.Update("door", Event(100, 0.6f), "start", nullptr, "", ""), 3);
    EXPECT_EQ(old->Json()["zones"].dump(), "[]");
    EXPECT_TRUE(old->Json()["files_removed_ms"].is_null());
    // Files removed to bound the storage: said once, the row and its acknowledgement stay.
    EventStore& store = table.store();
    EXPECT_TRUE(store.MarkFilesRemoved(1, 5000));
    EXPECT_FALSE(store.MarkFilesRemoved(1, 6000));
    EXPECT_FALSE(store.MarkFilesRemoved(99, 6000));
    EXPECT_EQ(table.Find(1)->Json()["files_removed_utc"], "1970-01-01T00:00:05.000Z");
    EXPECT_EQ(table.Find(1)->event.acknowledgedBy, "night shift");
}

TEST_F(EventStoreTest, FilesThatAreNotThisStoreAreRefusedAndLeftAlone) {
    const struct Case {
        const char* name;
        std::string sql;    // makes an SQLite file
        std::string bytes;  // or a file of these bytes
        const char* reason;
    } cases[] = {
        {"a newer schema", std::string(kVersion1) + "PRAGMA user_version = 9;", "",
         "schema is version 9, made by a newer program; this one reads up to version 3"},
        {"another program's SQLite file", "CREATE TABLE notes (text TEXT); INSERT INTO notes VALUES ('keep');", "",
         "not an event store: an SQLite file of another program"},
        {"not SQLite", "", std::string("weapon-detect records\n") + std::string(5000, 'x'),
         "not an event store: file is not a database"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(db);
        if (!c.sql.empty()) {
            RawSql(db, c.sql);
        } else {
            std::ofstream(db, std::ios::binary) << c.bytes;
        }
        const std::string before = Bytes(db);
        try {
            EventStore store(db);
            ADD_FAILURE() << "opened";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()).rfind(db + ": ", 0), 0u) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
        }
        EXPECT_EQ(Bytes(db), before);
        EXPECT_FALSE(fs::exists(db + "-wal"));
    }
    try {
        EventStore store((dir / "missing" / "events.db").string());
        ADD_FAILURE() << "opened";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("no folder"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(fs::exists(dir / "missing"));
}

TEST(UtcTime, ReadsEpochMillisecondsAndIso8601) {
    const struct {
        const char* text;
        std::optional<long long> ms;
    } cases[] = {
        {"1765436400123", 1765436400123},
        {"2025-12-11T07:00:00.123Z", 1765436400123},
        {"2025-12-11T07:00:00Z", 1765436400000},
        {"2025-12-11T08:00:00+01:00", 1765436400000},
        {"2025-12-11T02:30:00-0430", 1765436400000},
        {"2025-12-11T07:00", 1765436400000},
        {"2025-12-11", 1765411200000},
        {"2024-02-29", 1709164800000},
        {"1970-01-01T00:00:00Z", 0},
        {"2025-02-29", std::nullopt},
        {"2025-13-01", std::nullopt},
        {"2025-12-11T24:00:00Z", std::nullopt},
        {"2025-12-11T07:00:00+", std::nullopt},
        {"2025-12-11T07:00:00Zjunk", std::nullopt},
        {"yesterday", std::nullopt},
        {"", std::nullopt},
        {"-5", std::nullopt},
        {"99999999999999999999", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseUtc(c.text), c.ms) << c.text;
    EXPECT_EQ(FormatUtc(1765436400123), "2025-12-11T07:00:00.123Z");
    EXPECT_EQ(FormatUtc(0), "1970-01-01T00:00:00.000Z");
}

// The routes over the store, through the real server and curl.
TEST_F(EventStoreTest, TheApiFiltersPagesAndAcknowledges) {
    EventTable table(std::make_unique<EventStore>(db));
    for (int i = 0; i < 5; ++i) {
        table.Update(i % 2 ? "gate" : "door", Event(i * 100, 0.5f, 1, 1, 1, i < 4 ? "pistol" : "rifle"), "start",
                     nullptr, "", "");
    }
    std::vector<std::string> heard;
    table.SetListener([&](const std::string& type, const nlohmann::ordered_json& e) {
        heard.push_back(type + " " + e["id"].dump());
    });
    WebSettings settings;
    settings.port = servers::FreePort();
    settings.token = "s3cret";
    EventFeed feed;
    WebServer server(settings, table, {}, nullptr, feed);
    const std::string base = "http://127.0.0.1:" + std::to_string(settings.port);
    const std::string scratch = (dir / "reply.json").string(), token = "-H 'Authorization: Bearer s3cret'";
    auto get = [&](const std::string& path, const std::string& extra = "") {
        return servers::CurlGet(base + path, scratch, token + " " + extra);
    };

    auto reply = get("/api/events?camera=door&limit=2");
    ASSERT_EQ(reply.status, 200) << reply.body;
    auto page = nlohmann::json::parse(reply.body);
    EXPECT_EQ(page["total"], 3);
    ASSERT_EQ(page["events"].size(), 2u);
    EXPECT_EQ(page["events"][0]["id"], 5);
    EXPECT_EQ(page["next_before"], 3);
    page = nlohmann::json::parse(get("/api/events?camera=door&limit=2&before=3").body);
    EXPECT_EQ(page["events"].size(), 1u);
    EXPECT_TRUE(page["next_before"].is_null());
    page = nlohmann::json::parse(get("/api/events?class=rifle&since=2000-01-01T00:00:00Z").body);
    EXPECT_EQ(page["total"], 1);
    EXPECT_EQ(nlohmann::json::parse(get("/api/events?until=2000-01-01").body)["total"], 0);
    page = nlohmann::json::parse(get("/api/events?limit=0&camera=gate").body);
    EXPECT_EQ(page["total"], 2);
    EXPECT_TRUE(page["events"].empty());

    for (const std::string bad :
         {"since=yesterday", "until=2025-13-01", "limit=-1", "limit=x", "before=abc", "unacknowledged=maybe"}) {
        reply = get("/api/events?" + bad);
        EXPECT_EQ(reply.status, 400) << bad;
        const std::string name = bad.substr(0, bad.find('='));
        EXPECT_NE(nlohmann::json::parse(reply.body)["error"].get<std::string>().find(name), std::string::npos)
            << reply.body;
    }

    reply = get("/api/events/2");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(nlohmann::json::parse(reply.body)["camera"], "gate");
    reply = get("/api/events/77");
    EXPECT_EQ(reply.status, 404);
    EXPECT_EQ(nlohmann::json::parse(reply.body)["error"], "no event 77");

    // A POST without a body (no Content-Length at all, and Content-Length: 0); the first
    // acknowledgement stays.
    reply = get("/api/events/2/ack?by=alice", "-X POST");
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(nlohmann::json::parse(reply.body)["acknowledged_by"], "alice");
    reply = get("/api/events/2/ack?by=bob", "-X POST -H 'Content-Length: 0'");
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(nlohmann::json::parse(reply.body)["acknowledged_by"], "alice");
    EXPECT_EQ(get("/api/events/3/ack", "-X POST -d x=1").status, 413) << "a body is refused";
    EXPECT_EQ(get("/api/events/3/ack?by=%01bell", "-X POST").status, 400);
    EXPECT_EQ(get("/api/events/3/ack?by=" + std::string(65, 'a'), "-X POST").status, 400);
    EXPECT_EQ(get("/api/events/99/ack", "-X POST").status, 404);
    EXPECT_EQ(servers::CurlGet(base + "/api/events/3/ack", scratch, "-X POST").status, 401);
    EXPECT_EQ(servers::CurlGet(base + "/api/events/3", scratch).status, 401);
    EXPECT_EQ(get("/api/events/3/ack?by=x").status, 404) << "GET acknowledges nothing";
    EXPECT_FALSE(table.Find(3)->event.acknowledgedMs);
    page = nlohmann::json::parse(get("/api/events?unacknowledged=1").body);
    EXPECT_EQ(page["total"], 4);
    EXPECT_EQ(heard, (std::vector<std::string>{"ack 2", "ack 2"}));
}
