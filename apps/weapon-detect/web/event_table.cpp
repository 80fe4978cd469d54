#include "web/event_table.h"

#include <cmath>
#include <cstdio>

#include "output/records.h"
#include "store/utc_time.h"

namespace weapon_detect {
namespace {

nlohmann::ordered_json OptionalMs(const std::optional<long long>& ms) {
    return ms ? nlohmann::ordered_json(*ms) : nlohmann::ordered_json();
}

nlohmann::ordered_json OptionalUtc(const std::optional<long long>& ms) {
    return ms ? nlohmann::ordered_json(FormatUtc(*ms)) : nlohmann::ordered_json();
}

nlohmann::ordered_json OptionalText(const std::string& text) {
    return text.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(text);
}

}  // namespace

nlohmann::ordered_json EventEntry::Json() const {
    const StoredEvent& e = event;
    const std::string base = "/api/events/" + std::to_string(e.id);
    nlohmann::ordered_json deliveries = nlohmann::ordered_json::array();
    for (const DeliveryState& d : e.deliveries) {
        deliveries.push_back(
            {{"channel", d.channel}, {"state", d.state}, {"attempts", d.attempts}, {"error", d.error}});
    }
    return {{"id", e.id},
            {"camera", e.camera},
            {"class_name", e.className},
            {"best_confidence", std::round(e.bestConfidence * 10000) / 10000},
            {"state", e.state},
            {"phase", e.phase},
            {"start_ms", e.startMs},
            {"start_utc", FormatUtc(e.startMs)},
            {"end_ms", OptionalMs(e.endMs)},
            {"end_utc", OptionalUtc(e.endMs)},
            {"updated_ms", e.updatedMs},
            {"start_time", Seconds(e.startTime)},
            {"end_time", Seconds(e.endTime)},
            {"first_frame", e.firstFrame},
            {"last_frame", e.lastFrame},
            {"detections", e.detections},
            {"snapshot", base + "/snapshot"},
            {"thumbnail", base + "/thumbnail"},
            {"clip", e.clipState == "ready" ? nlohmann::ordered_json(base + "/clip") : nlohmann::ordered_json()},
            {"clip_state", e.clipState},
            {"files", {{"snapshot", OptionalText(e.snapshot)}, {"clip", OptionalText(e.clip)}}},
            {"acknowledged_ms", OptionalMs(e.acknowledgedMs)},
            {"acknowledged_utc", OptionalUtc(e.acknowledgedMs)},
            {"acknowledged_by",
             e.acknowledgedBy ? nlohmann::ordered_json(*e.acknowledgedBy) : nlohmann::ordered_json()},
            {"deliveries", std::move(deliveries)},
            {"zones", e.zones},
            {"files_removed_ms", OptionalMs(e.filesRemovedMs)},
            {"files_removed_utc", OptionalUtc(e.filesRemovedMs)}};
}

EventTable::EventTable(std::unique_ptr<EventStore> store, size_t thumbnails)
    : store_(store ? std::move(store) : std::make_unique<EventStore>("")), thumbnailCapacity_(thumbnails) {}

void EventTable::SetListener(Listener listener) {
    const std::lock_guard<std::mutex> lock(mutex_);
    listener_ = std::move(listener);
}

EventEntry EventTable::Entry(StoredEvent event) const {
    EventEntry entry;
    if (const auto found = thumbnails_.find(event.id); found != thumbnails_.end()) entry.thumbnail = found->second;
    entry.snapshotPath = store_->FullPath(event.snapshot);
    entry.clipPath = store_->FullPath(event.clip);
    entry.event = std::move(event);
    return entry;
}

void EventTable::Committed(const char* type, const StoredEvent& event) {
    if (!listener_) return;
    listener_(type, Entry(event).Json());
}

void EventTable::Failed(const std::exception& e) {
    // Said each time: a full disk is rare and each event missing from the history matters.
    ++storeFailures_;
    std::fprintf(stderr, "weapon-detect: the event history is incomplete: %s\n", e.what());
}

void EventTable::KeepThumbnail(long long id, Jpeg thumbnail) {
    if (!thumbnail || thumbnailCapacity_ == 0) return;
    thumbnails_[id] = std::move(thumbnail);
    while (thumbnails_.size() > thumbnailCapacity_) thumbnails_.erase(thumbnails_.begin());
}

long long EventTable::Update(const std::string& camera, const AlarmEvent& event, const char* phase, Jpeg thumbnail,
                             const std::string& snapshotPath, const std::string& clipPath) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const long long now = NowMs();
    const std::string what = phase;
    auto [it, added] = current_.try_emplace({camera, event.firstFrame});
    StoredEvent& e = it->second;
    if (added) {
        e.camera = camera;
        e.startMs = now;
        e.firstFrame = event.firstFrame;
        e.clip = store_->Stored(clipPath);
        e.clipState = clipPath.empty() ? "none" : "recording";
    }
    e.phase = what;
    e.className = event.className;
    e.bestConfidence = event.bestConfidence;
    e.startTime = event.startTime;
    e.endTime = event.endTime;
    e.lastFrame = event.lastFrame;
    e.detections = event.detections;
    e.zones = event.zones;
    e.updatedMs = now;
    if (!snapshotPath.empty()) e.snapshot = store_->Stored(snapshotPath);
    if (what == "end") {
        e.state = "ended";
        // The last detection, by the stream's clock from the start.
        e.endMs = e.startMs + std::llround(std::max(0.0, event.endTime - event.startTime) * 1000);
    }
    try {
        if (e.id == 0) {
            e.id = store_->Insert(e);
        } else {
            store_->Save(e);
        }
    } catch (const std::exception& error) {
        Failed(error);
        const long long id = e.id;
        if (what == "end" && e.clipState != "recording") current_.erase(it);
        return id;
    }
    const long long id = e.id;
    KeepThumbnail(id, std::move(thumbnail));
    Committed("event", e);
    if (what == "end" && e.clipState != "recording") current_.erase(it);
    return id;
}

void EventTable::ClipDone(const std::string& camera, long long firstFrame, bool ok, const std::string& path) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = current_.find({camera, firstFrame});
    if (found == current_.end()) return;
    StoredEvent& e = found->second;
    e.clipState = ok ? "ready" : "failed";
    if (ok && !path.empty()) e.clip = store_->Stored(path);
    if (!ok) e.clip.clear();
    e.updatedMs = NowMs();
    try {
        if (e.id != 0) {
            store_->Save(e);
            Committed("event", e);
        }
    } catch (const std::exception& error) {
        Failed(error);
    }
    if (e.state != "open") current_.erase(found);
}

void EventTable::SetDelivery(long long eventId, const std::string& channel, const std::string& state, int attempts,
                             const std::string& error) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const DeliveryState delivery{channel, state, attempts, error};
    try {
        if (!store_->SetDelivery(eventId, delivery)) return;
    } catch (const std::exception& e) {
        Failed(e);
        return;
    }
    for (auto& [key, e] : current_) {
        if (e.id != eventId) continue;
        bool replaced = false;
        for (DeliveryState& d : e.deliveries) {
            if (d.channel == channel) {
                d = delivery;
                replaced = true;
            }
        }
        if (!replaced) e.deliveries.push_back(delivery);
    }
}

std::optional<EventEntry> EventTable::Ack(long long id, const std::string& by) {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::optional<StoredEvent> e = store_->Ack(id, by, NowMs());
    if (!e) return std::nullopt;
    // An open event's next update carries its acknowledgement too.
    for (auto& [key, open] : current_) {
        if (open.id != id) continue;
        open.acknowledgedMs = e->acknowledgedMs;
        open.acknowledgedBy = e->acknowledgedBy;
    }
    Committed("ack", *e);
    return Entry(std::move(*e));
}

std::vector<EventEntry> EventTable::Newest(size_t limit) const {
    EventQuery q;
    q.limit = static_cast<int>(std::min<size_t>(limit, 1 << 20));
    return Query(q).events;
}

EventEntryPage EventTable::Query(const EventQuery& query) const {
    EventPage page = store_->Query(query);
    const std::lock_guard<std::mutex> lock(mutex_);
    EventEntryPage entries;
    entries.nextBefore = page.nextBefore;
    entries.total = page.total;
    for (StoredEvent& e : page.events) entries.events.push_back(Entry(std::move(e)));
    return entries;
}

std::vector<EventEntry> EventTable::Unfinished(size_t limit) const {
    std::vector<StoredEvent> events = store_->Unfinished(static_cast<int>(std::min<size_t>(limit, 1 << 20)));
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<EventEntry> entries;
    for (StoredEvent& e : events) entries.push_back(Entry(std::move(e)));
    return entries;
}

std::optional<EventEntry> EventTable::Find(long long id) const {
    std::optional<StoredEvent> e = store_->Find(id);
    if (!e) return std::nullopt;
    const std::lock_guard<std::mutex> lock(mutex_);
    return Entry(std::move(*e));
}

long long EventTable::total() const { return store_->Count(); }

}  // namespace weapon_detect
