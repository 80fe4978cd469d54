// The events the page and its API show: the newest `capacity` alarm events of every camera,
// each with an id of its own. It is the only way from a request to a file: a request names an
// event id, and the table gives the snapshot or clip path that the program itself wrote.
//
// Threads: every member is safe from any thread (one lock). The listener is set before any
// update and called under the lock, in the order of the changes; it must not block.
#pragma once

#include <cstddef>
#include <deque>
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

namespace weapon_detect {

using Jpeg = std::shared_ptr<const std::vector<unsigned char>>;

struct EventEntry {
    long long id = 0;
    std::string camera;
    long long firstFrame = 0;  // with the camera, the event's key
    std::string phase;         // "start", "update", "end"
    double startTime = 0.0, endTime = 0.0;  // stream seconds
    double wallTime = 0.0;     // Unix seconds when the event began
    int detections = 0;
    std::string className;
    float bestConfidence = 0.0f;
    std::string snapshotPath;  // written at the event's end; empty before or without snapshots
    std::string clipPath;      // where the clip goes; empty without clips
    std::string clipState;     // "none", "recording", "ready", "failed"
    Jpeg thumbnail;            // the best frame, small

    nlohmann::ordered_json Json() const;
};

class EventTable {
public:
    // Told of every change with the event's JSON: type "event".
    using Listener = std::function<void(const std::string& type, const nlohmann::ordered_json& event)>;

    explicit EventTable(size_t capacity = 500) : capacity_(capacity) {}
    void SetListener(Listener listener) { listener_ = std::move(listener); }

    // Adds the event or brings it up to date; returns its id.
    long long Update(const std::string& camera, const AlarmEvent& event, const char* phase, Jpeg thumbnail,
                     const std::string& snapshotPath, const std::string& clipPath);
    // The clip of the event (camera, firstFrame) is committed (`ok`, under `path` when given)
    // or given up.
    void ClipDone(const std::string& camera, long long firstFrame, bool ok, const std::string& path = {});
    // The newest first, at most `limit`.
    std::vector<EventEntry> Newest(size_t limit) const;
    // The events not ended yet, oldest first.
    std::vector<EventEntry> Open() const;
    std::optional<EventEntry> Find(long long id) const;
    long long total() const;

private:
    size_t capacity_;
    mutable std::mutex mutex_;
    std::deque<EventEntry> entries_;  // oldest first, ids ascending
    std::map<std::pair<std::string, long long>, long long> ids_;
    long long nextId_ = 1;
    Listener listener_;
};

}  // namespace weapon_detect
