// What one camera hands to the services beside its records: event clips with their pre-roll,
// the live view and the event table of the page, the event messages (web hooks, the MQTT
// events and snapshot topics; output/event_message.h), and the hub's "weapon" state.
//
// Each event gets its id from the event table at its start; its messages carry it, with its
// UTC start and end and links (under `publicUrl` when set). The start message's snapshot
// topic gets the event's first JPEG, each better score's message the better one. When the
// input ends the camera's retained MQTT state becomes "finished" (or "offline" after a stop).
//
// An event's snapshot and clip share one name that replaces nothing, chosen when the event
// begins (NewEventClip): `<camera>_<first frame>` or the first free `…-<n>`. The event's JSON
// Lines record is written through `records` once its clip is known: at once when it has none,
// else when the clip is committed (the record names it) or lost (its `clip` is null). A lost
// clip is said on standard error and counted (clipsLost()). An event that finds
// ClipRecorder::kOpenClips clips being encoded gets none (said, counted by clipsSkipped(), its
// `clip` null): a bound by design, not a loss.
//
// Threads: Analysed, Event, Progress, EventRecord, SnapshotPath and InputEnded are called by the
// camera's worker; StateChanged by its live reader; Failed by the worker or the main thread;
// WaitClips, HurryClips, GiveUpClips, Close and Discard by the main thread, also while the
// worker still runs. Clip results arrive on the clip recorder's thread. Every pointer given to
// the constructor may be null (that service is off) and must outlive this.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "alarm_events.h"
#include "camera/area_rules.h"
#include "output/clip_recorder.h"
#include "output/mqtt_publisher.h"
#include "output/webhook_sender.h"
#include "web/camera_status.h"
#include "web/event_table.h"
#include "zrv/ZRVCustomClass.h"

namespace weapon_detect {

struct CameraServiceSettings {
    std::string cameraId;
    std::string snapshotDir;          // clips go beside the snapshots; empty: no clips
    ClipSettings clips;               // clips.clips false: none
    cv::Size reduced{960, 540};       // clips and the live view fit in this size
    std::vector<std::string> inputs;  // every camera's input: a clip never replaces one
    std::string publicUrl;            // the page's public address for links; empty: relative links
    // Bounded storage (store/retention.h), each unset without it: why no snapshot may be
    // written now (empty: it may), and the news of an event's end.
    std::function<std::string()> snapshotRefusal;
    std::function<void()> eventEnded;
    CameraAreas areas;  // masks and zones, drawn on the live view and the clips
};

class CameraServices {
public:
    using Clock = ClipRecorder::Clock;
    // Writes one JSON Lines record; throws std::runtime_error when it cannot.
    using RecordSink = std::function<void(const nlohmann::ordered_json& record)>;

    // `status` (the page's camera) null: no live view and no event thumbnails; `events` null:
    // the events are not kept.
    CameraServices(CameraServiceSettings settings, CameraStatus* status, EventTable* events, WebhookSender* webhooks,
                   MqttPublisher* mqtt, RecordSink records);
    ~CameraServices();
    CameraServices(const CameraServices&) = delete;
    CameraServices& operator=(const CameraServices&) = delete;

    // One analysed frame (not changed here) with its detections, stream time, delay
    // (negative for files) and the detector's seconds; `ignored` the detections the masks or
    // zones left out, with their `reasons` (drawn apart).
    void Analysed(const cv::Mat& frame, const std::vector<CustomObject>& detections, double time, double delay,
                  double detectorSeconds, const std::vector<CustomObject>& ignored = {},
                  const std::vector<const char*>& reasons = {});
    // An event began ("start"), improved ("update") or ended ("end", with its snapshot path,
    // written at SnapshotPath() or beside it). At its end the event's record is written now
    // or once its clip is known; a record that cannot be written now throws.
    void Event(const AlarmEvent& event, const char* phase, const std::string& snapshot);
    // An open event that this frame neither started nor improved: the event table (the page
    // and its stream) follows its detections and length at most once a second. No message is
    // sent for it.
    void Progress(const AlarmEvent& event);
    // The event's record as messages carry it: with the path its clip goes to (null without
    // a clip, or once it was lost).
    nlohmann::ordered_json EventRecord(const AlarmEvent& event, const std::string& snapshot, const char* phase) const;
    // Where the event's snapshot goes: beside its clip, under the same name.
    std::string SnapshotPath(const AlarmEvent& event) const;
    // Empty when the event's snapshot may be written; else why not (free space below half the
    // floor). Never waits for the disk.
    std::string SnapshotRefusal() const {
        return settings_.snapshotRefusal ? settings_.snapshotRefusal() : std::string();
    }
    void StateChanged(bool online, const std::string& reason);
    // The camera failed (its worker says why).
    void Failed(const std::string& reason);

    // After the last Event: the clips take in what they have, without waiting. `stopped`:
    // the run is stopping, so the clips hurry from kStopGrace on (ClipRecorder).
    void InputEnded(bool stopped);
    // The clip thread's end (true) or `deadline` (false); every clip result has arrived then.
    bool WaitClips(Clock::time_point deadline);
    void HurryClips(Clock::time_point at);
    // The clip thread did not end in time: the records still waiting for their clips are
    // written now with `clip` null, and those clips counted as lost.
    void GiveUpClips();
    // InputEnded and WaitClips for as long as it takes.
    void Close();
    void Discard();

    const ClipRecorder* recorder() const { return recorder_.get(); }
    long long clipsWritten() const { return clipsWritten_; }
    long long clipsLost() const { return clipsLost_; }
    // Events beyond the clips encoded at once (ClipRecorder::kOpenClips): no clip, by design.
    long long clipsSkipped() const { return clipsSkipped_; }
    // Event records that could not be written once their clip was known.
    long long recordsLost() const { return recordsLost_; }

    // How long a stopping run's clips take in what they were handed before they hurry.
    static constexpr std::chrono::seconds kStopGrace{5};

private:
    // One event's clip, from its start until its record is written.
    struct Clip {
        std::string path;  // where it goes; where it went once written
        enum class State { Recording, Written, Lost } state = State::Recording;
        std::optional<nlohmann::ordered_json> record;  // the ended event's, waiting for the clip
    };
    // Chooses the event's name and starts its clip; says why when it gets none.
    void StartClip(const AlarmEvent& event);
    // The ended event's record, now or once its clip is known.
    void EventEnded(const AlarmEvent& event, const std::string& snapshot);
    std::string ClipOf(long long key) const;
    std::string Stem(const AlarmEvent& event) const;
    void ClipDone(long long key, const std::string& path, const std::string& error);
    // "none", "recording", "ready" or "failed" for the event's messages.
    std::string ClipStateOf(long long key) const;
    // The event's message (event_message.h) from its record.
    nlohmann::ordered_json Message(const nlohmann::ordered_json& record, const AlarmEvent& event, const char* phase,
                                   long long id, const std::string& clipState);
    void Lost(long long key, const std::string& reason);
    void Skipped(long long key, const std::string& reason);
    // Lost and Skipped: the event gets no clip; `counter` counts it.
    void NoClip(long long key, const std::string& reason, std::atomic<long long>& counter);
    // A record written once its clip is known, off the worker: a failure is said and counted.
    void WriteLate(const nlohmann::ordered_json& record);

    CameraServiceSettings settings_;
    CameraStatus* status_;
    EventTable* events_;
    WebhookSender* webhooks_;
    MqttPublisher* mqtt_;
    RecordSink records_;
    mutable std::mutex mutex_;                 // clips_
    std::map<long long, Clip> clips_;          // by the event's first frame
    std::map<long long, long long> startsMs_;  // the open events' UTC starts, by first frame
    std::atomic<bool> ended_{false};           // InputEnded was called
    Clock::time_point progressAt_{};           // the worker's: the last Progress written
    int progressDetections_ = 0;
    std::atomic<long long> clipsWritten_{0}, clipsLost_{0}, clipsSkipped_{0}, recordsLost_{0};
    std::unique_ptr<AreaOverlay> overlay_;    // the worker's: null without masks and zones
    std::unique_ptr<ClipRecorder> recorder_;  // last: its thread calls into the members above
};

}  // namespace weapon_detect
