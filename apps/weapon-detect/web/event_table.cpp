#include "web/event_table.h"

#include <chrono>

#include "output/records.h"

namespace weapon_detect {

nlohmann::ordered_json EventEntry::Json() const {
    return {{"id", id},
            {"camera", camera},
            {"phase", phase},
            {"start_time", Seconds(startTime)},
            {"end_time", Seconds(endTime)},
            {"wall_time", Seconds(wallTime)},
            {"detections", detections},
            {"class_name", className},
            {"best_confidence", bestConfidence},
            {"snapshot", "/api/events/" + std::to_string(id) + "/snapshot"},
            {"thumbnail", "/api/events/" + std::to_string(id) + "/thumbnail"},
            {"clip", clipState == "ready" ? nlohmann::ordered_json("/api/events/" + std::to_string(id) + "/clip")
                                          : nlohmann::ordered_json()},
            {"clip_state", clipState}};
}

long long EventTable::Update(const std::string& camera, const AlarmEvent& event, const char* phase, Jpeg thumbnail,
                             const std::string& snapshotPath, const std::string& clipPath) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto key = std::make_pair(camera, event.firstFrame);
    EventEntry* entry = nullptr;
    if (const auto found = ids_.find(key); found != ids_.end()) {
        entry = &entries_[static_cast<size_t>(found->second - entries_.front().id)];
    } else {
        if (entries_.size() >= capacity_) {
            ids_.erase({entries_.front().camera, entries_.front().firstFrame});
            entries_.pop_front();
        }
        entries_.emplace_back();
        entry = &entries_.back();
        entry->id = nextId_++;
        entry->camera = camera;
        entry->firstFrame = event.firstFrame;
        entry->wallTime =
            std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
        entry->clipPath = clipPath;
        entry->clipState = clipPath.empty() ? "none" : "recording";
        ids_[key] = entry->id;
    }
    entry->phase = phase;
    entry->startTime = event.startTime;
    entry->endTime = event.endTime;
    entry->detections = event.detections;
    entry->className = event.className;
    entry->bestConfidence = event.bestConfidence;
    if (thumbnail) entry->thumbnail = std::move(thumbnail);
    if (!snapshotPath.empty()) entry->snapshotPath = snapshotPath;
    if (listener_) listener_("event", entry->Json());
    return entry->id;
}

void EventTable::ClipDone(const std::string& camera, long long firstFrame, bool ok, const std::string& path) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = ids_.find({camera, firstFrame});
    if (found == ids_.end()) return;
    EventEntry& entry = entries_[static_cast<size_t>(found->second - entries_.front().id)];
    entry.clipState = ok ? "ready" : "failed";
    if (ok && !path.empty()) entry.clipPath = path;
    if (listener_) listener_("event", entry.Json());
}

std::vector<EventEntry> EventTable::Open() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<EventEntry> open;
    for (const EventEntry& e : entries_) {
        if (e.phase != "end") open.push_back(e);
    }
    return open;
}

std::vector<EventEntry> EventTable::Newest(size_t limit) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<EventEntry> newest;
    for (auto it = entries_.rbegin(); it != entries_.rend() && newest.size() < limit; ++it) newest.push_back(*it);
    return newest;
}

std::optional<EventEntry> EventTable::Find(long long id) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (entries_.empty() || id < entries_.front().id || id > entries_.back().id) return std::nullopt;
    return entries_[static_cast<size_t>(id - entries_.front().id)];
}

long long EventTable::total() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return nextId_ - 1;
}

}  // namespace weapon_detect
