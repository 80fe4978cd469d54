#include "store/event_store.h"

#include <cstdio>
#include <filesystem>
#include <limits>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace fs = std::filesystem;

namespace weapon_detect {
namespace {

// Each step takes the file from the version before to its own; version 1 is the first
// schema that was released, so every file ever made can be brought up to date.
struct Migration {
    int version;
    const char* sql;
};

const Migration kMigrations[] = {
    {1, R"(
CREATE TABLE events (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  camera TEXT NOT NULL,
  class_name TEXT NOT NULL,
  best_confidence REAL NOT NULL,
  state TEXT NOT NULL CHECK (state IN ('open', 'ended', 'interrupted')),
  phase TEXT NOT NULL,
  start_ms INTEGER NOT NULL,
  end_ms INTEGER,
  updated_ms INTEGER NOT NULL,
  start_time REAL NOT NULL,
  end_time REAL NOT NULL,
  first_frame INTEGER NOT NULL,
  last_frame INTEGER NOT NULL,
  detections INTEGER NOT NULL,
  snapshot TEXT,
  clip TEXT,
  clip_state TEXT NOT NULL
);
CREATE INDEX events_by_camera ON events (camera, id);
CREATE INDEX events_by_start ON events (start_ms);
)"},
    {2, R"(
ALTER TABLE events ADD COLUMN acknowledged_ms INTEGER;
ALTER TABLE events ADD COLUMN acknowledged_by TEXT;
CREATE INDEX events_by_class ON events (class_name, id);
CREATE INDEX events_by_camera_class ON events (camera, class_name, id);
CREATE INDEX events_unacknowledged ON events (id) WHERE acknowledged_ms IS NULL;
CREATE TABLE deliveries (
  event_id INTEGER NOT NULL REFERENCES events (id) ON DELETE CASCADE,
  channel TEXT NOT NULL,
  state TEXT NOT NULL CHECK (state IN ('pending', 'delivered', 'failed')),
  attempts INTEGER NOT NULL,
  error TEXT NOT NULL,
  PRIMARY KEY (event_id, channel)
) WITHOUT ROWID;
)"},
    {3, R"(
ALTER TABLE events ADD COLUMN zones TEXT NOT NULL DEFAULT '[]';
ALTER TABLE events ADD COLUMN files_removed_ms INTEGER;
)"},
};

constexpr const char* kColumns =
    "id, camera, class_name, best_confidence, state, phase, start_ms, end_ms, updated_ms, start_time, end_time, "
    "first_frame, last_frame, detections, snapshot, clip, clip_state, acknowledged_ms, acknowledged_by, zones, "
    "files_removed_ms";

// The zones column: a JSON array of names. A value this program did not write reads as none.
std::vector<std::string> ZonesFrom(const std::string& text) {
    const nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
    std::vector<std::string> zones;
    if (!parsed.is_array()) return zones;
    for (const auto& name : parsed) {
        if (name.is_string()) zones.push_back(name.get<std::string>());
    }
    return zones;
}

StoredEvent ReadEvent(const sqlite::Statement& s) {
    StoredEvent e;
    e.id = s.Int(0);
    e.camera = s.Text(1);
    e.className = s.Text(2);
    e.bestConfidence = s.Double(3);
    e.state = s.Text(4);
    e.phase = s.Text(5);
    e.startMs = s.Int(6);
    e.endMs = s.OptionalInt(7);
    e.updatedMs = s.Int(8);
    e.startTime = s.Double(9);
    e.endTime = s.Double(10);
    e.firstFrame = s.Int(11);
    e.lastFrame = s.Int(12);
    e.detections = static_cast<int>(s.Int(13));
    e.snapshot = s.Text(14);
    e.clip = s.Text(15);
    e.clipState = s.Text(16);
    e.acknowledgedMs = s.OptionalInt(17);
    e.acknowledgedBy = s.OptionalText(18);
    e.zones = ZonesFrom(s.Text(19));
    e.filesRemovedMs = s.OptionalInt(20);
    return e;
}

std::optional<std::string> NullIfEmpty(const std::string& text) {
    if (text.empty()) return std::nullopt;
    return text;
}

// The filters of a query, as bits of the statement's kind.
constexpr unsigned kCamera = 1, kClass = 2, kSince = 4, kUntil = 8, kUnacknowledged = 16;

unsigned MaskOf(const EventQuery& q) {
    return (q.camera ? kCamera : 0) | (q.className ? kClass : 0) | (q.sinceMs ? kSince : 0) | (q.untilMs ? kUntil : 0) |
           (q.unacknowledged ? kUnacknowledged : 0);
}

}  // namespace

EventStore::EventStore(const std::string& path) : path_(path) {
    if (!path_.empty()) folder_ = fs::absolute(fs::path(path_)).parent_path().lexically_normal().string();
    Open();
    Migrate();
    Prepare();
    const std::lock_guard<std::mutex> lock(mutex_);
    sqlite::Transaction t(*db_);
    db_->Exec("UPDATE events SET clip_state = 'lost' WHERE clip_state = 'recording'");
    db_->Exec("UPDATE events SET state = 'interrupted' WHERE state = 'open'");
    interrupted_ = db_->Changes();
    t.Commit();
    if (interrupted_ > 0) {
        std::fprintf(stderr, "weapon-detect: %s: %lld event%s still open from an earlier run, marked interrupted\n",
                     path_.c_str(), interrupted_, interrupted_ == 1 ? "" : "s");
    }
}

void EventStore::Open() {
    if (path_.empty()) {
        db_ = std::make_unique<sqlite::Database>(":memory:", true);
        return;
    }
    // SQLite would make a missing folder's file fail with a vaguer "unable to open".
    const fs::path folder = fs::path(folder_);
    std::error_code error;
    if (!fs::is_directory(folder, error)) {
        throw std::runtime_error(path_ + ": cannot open the event store: no folder " + folder.string());
    }
    if (fs::exists(path_, error) && !fs::is_regular_file(path_, error)) {
        throw std::runtime_error(path_ + ": cannot open the event store: not a regular file");
    }
    db_ = std::make_unique<sqlite::Database>(path_, true);
    db_->BusyTimeout(std::chrono::seconds(5));
    // The first read of the file tells a non-SQLite file ("file is not a database").
    sqlite::Statement application(*db_, "PRAGMA application_id");
    long long id = 0;
    try {
        if (application.Step()) id = application.Int(0);
        application.Reset();
    } catch (const std::runtime_error&) {
        throw std::runtime_error(path_ + ": not an event store: " + sqlite3_errmsg(db_->handle()));
    }
    sqlite::Statement tables(*db_, "SELECT count(*) FROM sqlite_schema");
    tables.Step();
    const long long count = tables.Int(0);
    tables.Reset();
    if (id != kApplicationId && (id != 0 || count != 0)) {
        throw std::runtime_error(path_ + ": not an event store: an SQLite file of another program (left as it is)");
    }
    if (sqlite3_db_readonly(db_->handle(), "main") == 1) {
        throw std::runtime_error(path_ + ": cannot open the event store: the file is read-only");
    }
}

void EventStore::Migrate() {
    sqlite::Statement version(*db_, "PRAGMA user_version");
    version.Step();
    const int found = static_cast<int>(version.Int(0));
    version.Reset();
    if (found > kVersion) {
        throw std::runtime_error(path_ + ": the event store's schema is version " + std::to_string(found) +
                                 ", made by a newer program; this one reads up to version " + std::to_string(kVersion));
    }
    if (!path_.empty()) {
        // WAL cannot be turned on inside a transaction; it stays set in the file.
        sqlite::Statement wal(*db_, "PRAGMA journal_mode = WAL");
        if (!wal.Step() || wal.Text(0) != "wal") {
            throw std::runtime_error(path_ + ": cannot use the event store in WAL mode");
        }
        wal.Reset();
    }
    db_->Exec("PRAGMA synchronous = NORMAL; PRAGMA foreign_keys = ON");
    for (const Migration& m : kMigrations) {
        if (m.version <= found) continue;
        sqlite::Transaction t(*db_);
        if (m.version == 1) db_->Exec("PRAGMA application_id = " + std::to_string(kApplicationId));
        db_->Exec(m.sql);
        db_->Exec("PRAGMA user_version = " + std::to_string(m.version));
        t.Commit();
    }
}

void EventStore::Prepare() {
    using sqlite::Statement;
    insert_ = std::make_unique<Statement>(
        *db_,
        "INSERT INTO events (camera, class_name, best_confidence, state, phase, start_ms, end_ms, updated_ms, "
        "start_time, end_time, first_frame, last_frame, detections, snapshot, clip, clip_state, zones) "
        "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?18)");
    save_ = std::make_unique<Statement>(
        *db_,
        "UPDATE events SET camera = ?1, class_name = ?2, best_confidence = ?3, state = ?4, phase = ?5, "
        "start_ms = ?6, end_ms = ?7, updated_ms = ?8, start_time = ?9, end_time = ?10, first_frame = ?11, "
        "last_frame = ?12, detections = ?13, snapshot = ?14, clip = ?15, clip_state = ?16, zones = ?18 WHERE id = ?17");
    find_ = std::make_unique<Statement>(*db_, std::string("SELECT ") + kColumns + " FROM events WHERE id = ?1");
    deliveries_ = std::make_unique<Statement>(
        *db_, "SELECT channel, state, attempts, error FROM deliveries WHERE event_id = ?1 ORDER BY channel");
    filesRemoved_ = std::make_unique<Statement>(
        *db_, "UPDATE events SET files_removed_ms = ?2 WHERE id = ?1 AND files_removed_ms IS NULL");
    ack_ = std::make_unique<Statement>(
        *db_, "UPDATE events SET acknowledged_ms = ?2, acknowledged_by = ?3 WHERE id = ?1 AND acknowledged_ms IS NULL");
    setDelivery_ = std::make_unique<Statement>(
        *db_,
        "INSERT INTO deliveries (event_id, channel, state, attempts, error) VALUES (?1, ?2, ?3, ?4, ?5) "
        "ON CONFLICT (event_id, channel) DO UPDATE SET state = excluded.state, attempts = excluded.attempts, "
        "error = excluded.error");
    count_ = std::make_unique<Statement>(*db_, "SELECT count(*) FROM events");
    withFiles_ = std::make_unique<Statement>(
        *db_, std::string("SELECT ") + kColumns +
                  " FROM events WHERE files_removed_ms IS NULL AND (snapshot IS NOT NULL OR clip IS NOT NULL) "
                  "ORDER BY start_ms, id");
    unfinished_ = std::make_unique<Statement>(
        *db_, std::string("SELECT ") + kColumns +
                  " FROM events WHERE state = 'open' OR acknowledged_ms IS NULL ORDER BY id DESC LIMIT ?1");
}

sqlite::Statement& EventStore::QueryStatement(unsigned mask, bool count) const {
    auto& cache = count ? counts_ : queries_;
    auto& statement = cache[mask];
    if (statement) return *statement;
    // Only the filters given, so that the planner can take the index that fits them; the
    // count is over every page, and without a filter SQLite counts the smallest index.
    std::string where;
    if (!count) where += " AND id < ?6";
    if (mask & kCamera) where += " AND camera = ?1";
    if (mask & kClass) where += " AND class_name = ?2";
    if (mask & kSince) where += " AND start_ms >= ?3";
    if (mask & kUntil) where += " AND start_ms <= ?4";
    if (mask & kUnacknowledged) where += " AND acknowledged_ms IS NULL";
    if (!where.empty()) where = " WHERE" + where.substr(4);
    const std::string sql =
        count ? "SELECT count(*) FROM events" + where
              : std::string("SELECT ") + kColumns + " FROM events" + where + " ORDER BY id DESC LIMIT ?5";
    statement = std::make_unique<sqlite::Statement>(*db_, sql);
    return *statement;
}

namespace {

// The event's columns, in the order the insert and the update name them (1 to 16, and 18;
// 17 is the update's id).
sqlite::Statement& BindEvent(sqlite::Statement& statement, const StoredEvent& e) {
    return statement.Bind(1, e.camera)
        .Bind(2, e.className)
        .Bind(3, e.bestConfidence)
        .Bind(4, e.state)
        .Bind(5, e.phase)
        .Bind(6, e.startMs)
        .Bind(7, e.endMs)
        .Bind(8, e.updatedMs)
        .Bind(9, e.startTime)
        .Bind(10, e.endTime)
        .Bind(11, e.firstFrame)
        .Bind(12, e.lastFrame)
        .Bind(13, static_cast<long long>(e.detections))
        .Bind(14, NullIfEmpty(e.snapshot))
        .Bind(15, NullIfEmpty(e.clip))
        .Bind(16, e.clipState)
        .Bind(18, nlohmann::json(e.zones).dump());
}

}  // namespace

long long EventStore::Insert(const StoredEvent& e) {
    const std::lock_guard<std::mutex> lock(mutex_);
    sqlite::Transaction t(*db_);
    BindEvent(*insert_, e).Run();
    const long long id = db_->LastInsertId();
    t.Commit();
    return id;
}

void EventStore::Save(const StoredEvent& e) {
    const std::lock_guard<std::mutex> lock(mutex_);
    sqlite::Transaction t(*db_);
    BindEvent(*save_, e).Bind(17, e.id).Run();
    if (db_->Changes() != 1) throw std::runtime_error(path_ + ": no event " + std::to_string(e.id) + " to update");
    t.Commit();
}

std::optional<StoredEvent> EventStore::Ack(long long id, const std::string& by, long long ms) {
    const std::lock_guard<std::mutex> lock(mutex_);
    {
        sqlite::Transaction t(*db_);
        ack_->Bind(1, id).Bind(2, ms).Bind(3, NullIfEmpty(by)).Run();
        t.Commit();
    }
    return FindLocked(id);
}

bool EventStore::MarkFilesRemoved(long long id, long long ms) {
    const std::lock_guard<std::mutex> lock(mutex_);
    sqlite::Transaction t(*db_);
    filesRemoved_->Bind(1, id).Bind(2, ms).Run();
    const bool changed = db_->Changes() == 1;
    t.Commit();
    return changed;
}

bool EventStore::SetDelivery(long long eventId, const DeliveryState& d) {
    const std::lock_guard<std::mutex> lock(mutex_);
    sqlite::Transaction t(*db_);
    try {
        setDelivery_->Bind(1, eventId)
            .Bind(2, d.channel)
            .Bind(3, d.state)
            .Bind(4, static_cast<long long>(d.attempts))
            .Bind(5, d.error)
            .Run();
    } catch (const std::runtime_error&) {
        // An unknown event breaks the foreign key; anything else is a real failure.
        if (sqlite3_extended_errcode(db_->handle()) == SQLITE_CONSTRAINT_FOREIGNKEY) return false;
        throw;
    }
    t.Commit();
    return true;
}

void EventStore::ReadDeliveries(StoredEvent& e) const {
    deliveries_->Bind(1, e.id);
    e.deliveries.clear();
    while (deliveries_->Step()) {
        e.deliveries.push_back(
            {deliveries_->Text(0), deliveries_->Text(1), static_cast<int>(deliveries_->Int(2)), deliveries_->Text(3)});
    }
    deliveries_->Reset();
}

std::optional<StoredEvent> EventStore::Find(long long id) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return FindLocked(id);
}

std::optional<StoredEvent> EventStore::FindLocked(long long id) const {
    find_->Bind(1, id);
    if (!find_->Step()) {
        find_->Reset();
        return std::nullopt;
    }
    StoredEvent e = ReadEvent(*find_);
    find_->Reset();
    ReadDeliveries(e);
    return e;
}

EventPage EventStore::Query(const EventQuery& q) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    const unsigned mask = MaskOf(q);
    EventPage page;
    sqlite::Statement& rows = QueryStatement(mask, false);
    if (q.camera) rows.Bind(1, *q.camera);
    if (q.className) rows.Bind(2, *q.className);
    if (q.sinceMs) rows.Bind(3, *q.sinceMs);
    if (q.untilMs) rows.Bind(4, *q.untilMs);
    rows.Bind(6, q.before.value_or(std::numeric_limits<long long>::max()));
    // One more than asked tells whether there is a next page.
    rows.Bind(5, static_cast<long long>(q.limit) + 1);
    while (q.limit > 0 && rows.Step()) {
        if (static_cast<int>(page.events.size()) == q.limit) {
            page.nextBefore = page.events.back().id;
            break;
        }
        page.events.push_back(ReadEvent(rows));
    }
    rows.Reset();
    for (StoredEvent& e : page.events) ReadDeliveries(e);
    sqlite::Statement& count = QueryStatement(mask, true);
    if (q.camera) count.Bind(1, *q.camera);
    if (q.className) count.Bind(2, *q.className);
    if (q.sinceMs) count.Bind(3, *q.sinceMs);
    if (q.untilMs) count.Bind(4, *q.untilMs);
    count.Step();
    page.total = count.Int(0);
    count.Reset();
    return page;
}

std::vector<StoredEvent> EventStore::Unfinished(int limit) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<StoredEvent> events;
    unfinished_->Bind(1, static_cast<long long>(limit));
    while (unfinished_->Step()) events.push_back(ReadEvent(*unfinished_));
    unfinished_->Reset();
    for (StoredEvent& e : events) ReadDeliveries(e);
    return events;
}

long long EventStore::Count() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    count_->Step();
    const long long n = count_->Int(0);
    count_->Reset();
    return n;
}

std::vector<StoredEvent> EventStore::WithFiles() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<StoredEvent> events;
    while (withFiles_->Step()) events.push_back(ReadEvent(*withFiles_));
    withFiles_->Reset();
    return events;
}

std::string EventStore::Stored(const std::string& path) const {
    if (path.empty() || folder_.empty()) return path;
    const fs::path full = fs::absolute(fs::path(path)).lexically_normal();
    const fs::path relative = full.lexically_relative(fs::path(folder_));
    if (relative.empty()) return full.string();
    return relative.string();
}

std::string EventStore::FullPath(const std::string& stored) const {
    if (stored.empty() || folder_.empty() || fs::path(stored).is_absolute()) return stored;
    return (fs::path(folder_) / stored).lexically_normal().string();
}

}  // namespace weapon_detect
