// Bounded storage of the snapshot folder: removes the snapshots and clips of old events so
// that the folder stays within a size (--max-storage) and an age (--retain-days), and keeps an
// eye on the folder's free space (--min-free).
//
// What is removed: only the files the event store names (each event's snapshot and clip),
// and only those inside the folder; never the JSON Lines output, the annotated video, the
// store itself or any other file there. The event's row stays, with files_removed_ms set. An
// event still open, or whose clip is being recorded, is never touched.
//
// The order: the oldest events (by start) first, acknowledged ones before unacknowledged ones
// within each rule; an unacknowledged alarm's files go only when nothing else is left to
// remove for that rule, and that is said. Per pass, in this order:
//   retain-days  every event that started more than N days ago;
//   max-storage  the oldest until the event files take at most SIZE;
//   min-free     (with one of the two above set) below the floor, the oldest acknowledged
//                events until the floor is met again; never an unacknowledged alarm (the
//                floor may be taken by other files: clips stop instead).
// Each batch is one line on standard error and counted in the metrics.
//
// The floor: below --min-free new clips are skipped (ClipRefusal, with a reason), below half
// of it new snapshots too (SnapshotRefusal); records (JSON Lines, the event store) never stop
// on purpose. Going below and coming back above are each said once.
//
// Threads: Start() runs a pass at once and then every `interval` on a thread of its own (never
// a camera's), and soon after Wake() or EventEnded(); the destructor stops it at once (a
// condition variable).
// Every other member is safe from any thread; passes never overlap.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "store/event_store.h"
#include "web/metrics_text.h"

namespace weapon_detect {

struct RetentionSettings {
    std::string folder;          // the snapshot folder
    int retainDays = 0;          // 0: no age bound
    std::uint64_t maxBytes = 0;  // 0: no size bound
    std::uint64_t minFree = 0;   // 0: no floor
    std::chrono::milliseconds interval{std::chrono::minutes(1)};
    // The folder's free bytes; unset: statvfs of the folder (for tests).
    std::function<std::uint64_t()> freeBytes;

    bool removes() const { return retainDays > 0 || maxBytes > 0; }
    bool any() const { return removes() || minFree > 0; }
};

class Retention {
public:
    // `store` outlives this object. Starts nothing (Start()).
    Retention(RetentionSettings settings, EventStore& store);
    ~Retention();
    Retention(const Retention&) = delete;
    Retention& operator=(const Retention&) = delete;

    // The thread: a pass now, then every interval, and soon after Wake().
    void Start();
    // Asks for a pass soon (an event ended); never blocks.
    void Wake();
    // An event ended: with a size bound, a pass a moment later (once the event's end and its
    // files are in the store).
    void EventEnded();
    // One pass at `nowMs` (UTC epoch ms) on the caller's thread; what the thread runs.
    void Pass(long long nowMs);

    // Empty when a clip may start now; else why not (free space below the floor). Looks at
    // the free space afresh and, below the floor with a bound set, removes first.
    std::string ClipRefusal();
    // Empty when a snapshot may be written; else why not (below half the floor). From the last
    // look at the free space: never waits for the disk.
    std::string SnapshotRefusal() const;

    void Metrics(MetricsText& m) const;
    // For /api/storage: the folder, its event files' bytes, free bytes, the bounds, the floor.
    nlohmann::ordered_json Json() const;

    std::uint64_t storageBytes() const { return storageBytes_; }

private:
    struct Files;
    // A pass at `at` at the latest.
    void PassBy(std::chrono::steady_clock::time_point at);
    void Loop();
    // Looks at the free space; says a crossing of the floor. True when below it.
    bool CheckFloor();
    std::uint64_t FreeBytes() const;
    void PassLocked(long long nowMs, std::uint64_t freeBytes);
    // Removes the files of `picked` (indices into `files`); says and counts the batch.
    std::uint64_t Remove(std::vector<Files>& files, const std::vector<size_t>& picked, const char* reason,
                         long long nowMs);

    RetentionSettings settings_;
    EventStore& store_;
    std::mutex passing_;  // one pass at a time
    std::atomic<std::uint64_t> storageBytes_{0}, freeBytes_{0};
    std::atomic<bool> belowFloor_{false};
    std::atomic<bool> looked_{false};  // the free space was looked at once

    mutable std::mutex countsMutex_;
    std::map<std::string, long long> removedEvents_;  // by reason
    std::uint64_t removedBytes_ = 0;

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::chrono::steady_clock::time_point due_ = std::chrono::steady_clock::time_point::max();  // an asked pass
    std::thread thread_;
};

}  // namespace weapon_detect
