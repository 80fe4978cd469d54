// The events the page, its API and the live feed show, written through to the event store
// (store/event_store.h), so that they outlive the run. It is the only way from a request to a
// file: a request names an event id, and the table gives the snapshot or clip path that the
// program itself wrote and the store recorded.
//
// Beside the store it keeps the small thumbnails of the newest `thumbnails` events (memory
// only: an event of an earlier run has none) and, per camera and first frame, the events still
// open or still recording their clip.
//
// Threads: every member is safe from any thread (one lock). The listener is called under that
// lock after each committed change, so in commit order; it must not call back into the table
// (the live feed only queues).
//
// A write the store refuses (a full disk) is said on standard error, counted (storeFailures)
// and leaves the analysis and the other deliveries going; the event is then missing from, or
// stale in, the history.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "alarm_events.h"
#include "store/event_store.h"

namespace weapon_detect {

using Jpeg = std::shared_ptr<const std::vector<unsigned char>>;

struct EventEntry {
    StoredEvent event;
    Jpeg thumbnail;            // the best frame, small; null when not kept
    std::string snapshotPath;  // the files' full paths; empty for none
    std::string clipPath;

    // The event as the API and the live feed show it.
    nlohmann::ordered_json Json() const;
};

struct EventEntryPage {
    std::vector<EventEntry> events;
    std::optional<long long> nextBefore;
    long long total = 0;
};

class EventTable {
public:
    using Listener = std::function<void(const std::string& type, const nlohmann::ordered_json& event)>;

    // `store` null: a store in memory, for this run only.
    explicit EventTable(std::unique_ptr<EventStore> store = nullptr, size_t thumbnails = 500);

    // Called with "event" after each change of an event (start, update, end, clip done) and
    // "ack" after an acknowledgement, with the event's JSON.
    void SetListener(Listener listener);

    // Adds the event or brings it up to date (the start, a better score, the end); returns
    // its id (0 when the store refused it).
    long long Update(const std::string& camera, const AlarmEvent& event, const char* phase, Jpeg thumbnail,
                     const std::string& snapshotPath, const std::string& clipPath);
    // The clip of the event (camera, firstFrame) is committed (`ok`, under `path` when given)
    // or given up.
    void ClipDone(const std::string& camera, long long firstFrame, bool ok, const std::string& path = {});
    // One channel's delivery of an event: state "pending", "delivered" or "failed".
    void SetDelivery(long long eventId, const std::string& channel, const std::string& state, int attempts,
                     const std::string& error);
    // Acknowledges the event (the first acknowledgement is kept); nothing for an unknown id.
    // Throws std::runtime_error when the store cannot record it.
    std::optional<EventEntry> Ack(long long id, const std::string& by);

    // The newest first, at most `limit`.
    std::vector<EventEntry> Newest(size_t limit) const;
    EventEntryPage Query(const EventQuery& query) const;
    // Open events and unacknowledged ones, newest first, at most `limit`.
    std::vector<EventEntry> Unfinished(size_t limit) const;
    std::optional<EventEntry> Find(long long id) const;
    long long total() const;
    long long storeFailures() const { return storeFailures_; }
    const EventStore& store() const { return *store_; }
    EventStore& store() { return *store_; }

private:
    EventEntry Entry(StoredEvent event) const;
    void Committed(const char* type, const StoredEvent& event);
    void Failed(const std::exception& e);
    void KeepThumbnail(long long id, Jpeg thumbnail);

    std::unique_ptr<EventStore> store_;
    size_t thumbnailCapacity_;
    mutable std::mutex mutex_;
    Listener listener_;
    std::map<long long, Jpeg> thumbnails_;                              // by id, the newest kept
    std::map<std::pair<std::string, long long>, StoredEvent> current_;  // open, or recording a clip
    std::atomic<long long> storeFailures_{0};
};

}  // namespace weapon_detect
