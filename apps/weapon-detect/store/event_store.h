// The alarm events of every run, kept in one SQLite file (events.db): one row per event with
// its delivery state per channel and its acknowledgement. History survives restarts; an event
// found still open when the store is opened was cut short by a crash or a kill and is marked
// "interrupted".
//
// The file: WAL mode (readers never wait for the camera threads' writes), synchronous=NORMAL
// (a commit is in the log before it returns, so a killed process loses nothing committed; only
// a power loss can take back the last commits, never the file's consistency; FULL would put an
// fsync on a camera thread per commit). Schema versioned by PRAGMA user_version, migrated step
// by step from version 1 on, each step in a transaction; marked as this program's by PRAGMA
// application_id, so that another SQLite file is refused rather than changed.
//
// Threads: every member is safe from any thread (one mutex around the connection); writes
// come from the camera threads, reads from the web server's workers.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "store/sqlite.h"

namespace weapon_detect {

struct DeliveryState {
    std::string channel;  // "mqtt", "webhook 1", ...
    std::string state;    // "pending", "delivered", "failed"
    int attempts = 0;
    std::string error;
};

struct StoredEvent {
    long long id = 0;  // given by Insert
    std::string camera;
    std::string className;
    double bestConfidence = 0.0;
    std::string state = "open";   // "open", "ended", "interrupted"
    std::string phase = "start";  // the last change: "start", "update", "end"
    long long startMs = 0;        // UTC epoch ms
    std::optional<long long> endMs;
    long long updatedMs = 0;
    double startTime = 0.0, endTime = 0.0;  // stream seconds
    long long firstFrame = 0, lastFrame = 0;
    int detections = 0;
    std::string snapshot;            // relative to the store's folder (or as given without one); empty: none
    std::string clip;                // likewise
    std::string clipState = "none";  // "none", "recording", "ready", "failed", "lost"
    std::optional<long long> acknowledgedMs;
    std::optional<std::string> acknowledgedBy;
    std::vector<DeliveryState> deliveries;  // by channel
    std::vector<std::string> zones;         // the named zones its detections touched
    // When the snapshot and clip were removed to bound the storage; the row stays.
    std::optional<long long> filesRemovedMs;
};

// Filters of a page of events; every one optional. Newest first.
struct EventQuery {
    std::optional<std::string> camera;
    std::optional<std::string> className;
    std::optional<long long> sinceMs, untilMs;  // on the start, inclusive
    bool unacknowledged = false;
    std::optional<long long> before;  // ids below this one: the next page
    int limit = 100;
};

struct EventPage {
    std::vector<StoredEvent> events;
    std::optional<long long> nextBefore;  // set when there are more
    long long total = 0;                  // events matching the filters (all pages)
};

class EventStore {
public:
    static constexpr int kVersion = 3;
    static constexpr int kApplicationId = 0x57445354;  // "WDST"

    // Opens or makes the store; an empty path is a store in memory (kept for this run only).
    // Throws std::runtime_error naming the file and the reason when it cannot be opened or
    // written, is not SQLite, is another program's SQLite file, or has a schema newer than
    // kVersion; such a file is left as it was. Marks every event still open "interrupted"
    // (and a clip still being recorded "lost"), says how many on standard error.
    explicit EventStore(const std::string& path);

    const std::string& path() const { return path_; }
    // The events found open at the start, now "interrupted".
    long long interrupted() const { return interrupted_; }

    // A new event (its id is ignored); returns the id it was given. One transaction.
    long long Insert(const StoredEvent& event);
    // What an event's progress changes (score, class, times, frames, detections, files, state,
    // phase, zones), by id; its acknowledgement and deliveries are kept. One transaction.
    void Save(const StoredEvent& event);
    // The event after its acknowledgement; a second acknowledgement keeps the first time and
    // name. Nothing for an unknown id.
    std::optional<StoredEvent> Ack(long long id, const std::string& by, long long ms);
    // Records that the event's files were removed (the first time is kept). False for an
    // unknown event or one already marked.
    bool MarkFilesRemoved(long long id, long long ms);
    // One channel's delivery of an event, made or replaced. False for an unknown event.
    bool SetDelivery(long long eventId, const DeliveryState& delivery);

    std::optional<StoredEvent> Find(long long id) const;
    EventPage Query(const EventQuery& query) const;
    // Events open now, and ended ones not acknowledged, newest first, at most `limit`.
    std::vector<StoredEvent> Unfinished(int limit) const;
    long long Count() const;
    // Every event that names a snapshot or a clip not yet removed (open ones too), oldest start
    // first (by id among equal starts); without their deliveries. What retention looks at.
    std::vector<StoredEvent> WithFiles() const;

    // A path as the store keeps it (relative to its folder when inside it), and back.
    std::string Stored(const std::string& path) const;
    std::string FullPath(const std::string& stored) const;

private:
    void Open();
    void Migrate();
    void Prepare();
    void ReadDeliveries(StoredEvent& event) const;
    // Find, with the lock held.
    std::optional<StoredEvent> FindLocked(long long id) const;
    sqlite::Statement& QueryStatement(unsigned mask, bool count) const;

    std::string path_;
    std::string folder_;  // empty in memory
    long long interrupted_ = 0;
    mutable std::mutex mutex_;
    std::unique_ptr<sqlite::Database> db_;
    std::unique_ptr<sqlite::Statement> insert_, save_, find_, deliveries_, ack_, setDelivery_, count_, unfinished_,
        filesRemoved_, withFiles_;
    // One statement per combination of filters (and one to count), made when first asked.
    mutable std::map<unsigned, std::unique_ptr<sqlite::Statement>> queries_, counts_;
};

}  // namespace weapon_detect
