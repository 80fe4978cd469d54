#include "camera_services.h"

#include <cmath>
#include <cstdio>
#include <filesystem>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "output/annotate.h"
#include "output/delivery_health.h"
#include "output/event_message.h"
#include "output/output_file.h"
#include "output/records.h"

namespace weapon_detect {
namespace {

constexpr int kThumbnailWidth = 320;

// The size that fits `frame` into `box`, never larger than the frame, even in both sides
// (H.264 in 4:2:0 asks for that).
cv::Size Fit(cv::Size frame, cv::Size box) {
    const double scale =
        std::min({1.0, static_cast<double>(box.width) / frame.width, static_cast<double>(box.height) / frame.height});
    return {std::max(2, static_cast<int>(std::lround(frame.width * scale)) & ~1),
            std::max(2, static_cast<int>(std::lround(frame.height * scale)) & ~1)};
}

}  // namespace

CameraServices::CameraServices(CameraServiceSettings settings, CameraStatus* status, EventTable* events,
                               WebhookSender* webhooks, MqttPublisher* mqtt, RecordSink records)
    : settings_(std::move(settings)),
      status_(status),
      events_(events),
      webhooks_(webhooks),
      mqtt_(mqtt),
      records_(std::move(records)) {
    if (!settings_.areas.empty()) overlay_ = std::make_unique<AreaOverlay>(settings_.areas);
    settings_.clips.clips = settings_.clips.clips && !settings_.snapshotDir.empty();
    if (status_) {
        LiveView* live = &status_->liveView();
        settings_.clips.liveInterval = [live] { return live->Interval(); };
    }
    if (settings_.clips.clips || status_) {
        recorder_ = std::make_unique<ClipRecorder>(
            settings_.clips,
            [this](long long key, const std::string& path, const std::string& error) { ClipDone(key, path, error); },
            [this](Jpeg jpeg) { status_->SetLive(std::move(jpeg)); },
            [this](long long key, const std::string& reason) { Skipped(key, reason); });
    }
    if (mqtt_) {
        mqtt_->AddCamera(settings_.cameraId);
        mqtt_->PublishCameraRetained(settings_.cameraId, "weapon", "OFF");
    }
}

CameraServices::~CameraServices() { Close(); }

void CameraServices::Analysed(const cv::Mat& frame, const std::vector<CustomObject>& detections, double time,
                              double delay, double detectorSeconds, const std::vector<CustomObject>& ignored,
                              const std::vector<const char*>& reasons) {
    if (status_) status_->Analysed(delay, detectorSeconds);
    if (!recorder_ || frame.empty()) return;
    // The one copy the clips and the live view need: reduced, with the detections drawn.
    const cv::Size size = Fit(frame.size(), settings_.reduced);
    cv::Mat reduced;
    if (frame.type() == CV_8UC3) {
        cv::resize(frame, reduced, size, 0, 0, cv::INTER_AREA);
    } else {
        cv::Mat bgr;
        if (frame.channels() == 1) cv::cvtColor(frame, bgr, cv::COLOR_GRAY2BGR);
        else if (frame.channels() == 4) cv::cvtColor(frame, bgr, cv::COLOR_BGRA2BGR);
        else return;
        if (bgr.depth() != CV_8U) bgr.convertTo(bgr, CV_8U, 1.0 / 256);
        cv::resize(bgr, reduced, size, 0, 0, cv::INTER_AREA);
    }
    if (overlay_) overlay_->Draw(reduced);
    DrawDetections(reduced, detections, frame.size());
    DrawIgnored(reduced, ignored, reasons, frame.size());
    recorder_->Push(std::move(reduced), time);
}

std::string CameraServices::Stem(const AlarmEvent& event) const {
    return EventFileStem(settings_.snapshotDir, settings_.cameraId, event.firstFrame);
}

std::string CameraServices::ClipOf(long long key) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = clips_.find(key);
    return found == clips_.end() || found->second.state == Clip::State::Lost ? std::string() : found->second.path;
}

std::string CameraServices::SnapshotPath(const AlarmEvent& event) const {
    const std::string clip = ClipOf(event.firstFrame);
    if (clip.empty()) return Stem(event) + ".jpg";
    return std::filesystem::path(clip).replace_extension(".jpg").string();
}

nlohmann::ordered_json CameraServices::EventRecord(const AlarmEvent& event, const std::string& snapshot,
                                                   const char* phase) const {
    nlohmann::ordered_json record = weapon_detect::EventRecord(settings_.cameraId, event, snapshot, phase);
    const std::string clip = ClipOf(event.firstFrame);
    record["clip"] = clip.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(clip);
    return record;
}

void CameraServices::StartClip(const AlarmEvent& event) {
    const std::string stem = Stem(event);
    for (const std::string& input : settings_.inputs) {
        std::error_code error;
        if (std::filesystem::equivalent(stem + ".mp4", input, error)) {
            std::fprintf(stderr,
                         "weapon-detect: camera %s: no clip for the event at frame %lld: it would replace an input\n",
                         settings_.cameraId.c_str(), event.firstFrame);
            return;
        }
    }
    std::unique_ptr<ClipFile> file;
    try {
        file = NewEventClip(stem, settings_.clips.fps);
    } catch (const std::exception& e) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            clips_[event.firstFrame] = {stem + ".mp4", Clip::State::Recording, std::nullopt};
        }
        Lost(event.firstFrame, e.what());
        return;
    }
    const std::string path = file->path();
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        clips_[event.firstFrame] = {path, Clip::State::Recording, std::nullopt};
    }
    if (!recorder_->Begin(event.firstFrame, std::move(file), event.startTime)) {
        Lost(event.firstFrame, "the clips had already ended");
    }
}

void CameraServices::EventEnded(const AlarmEvent& event, const std::string& snapshot) {
    nlohmann::ordered_json record = weapon_detect::EventRecord(settings_.cameraId, event, snapshot, nullptr);
    record["clip"] = nullptr;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto found = clips_.find(event.firstFrame);
        if (found != clips_.end()) {
            if (found->second.state == Clip::State::Recording) {
                found->second.record = std::move(record);
                return;
            }
            if (found->second.state == Clip::State::Written) record["clip"] = found->second.path;
            clips_.erase(found);
        }
    }
    records_(record);
}

std::string CameraServices::ClipStateOf(long long key) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = clips_.find(key);
    if (found == clips_.end()) return "none";
    switch (found->second.state) {
        case Clip::State::Recording: return "recording";
        case Clip::State::Written: return "ready";
        case Clip::State::Lost: break;
    }
    return "failed";
}

nlohmann::ordered_json CameraServices::Message(const nlohmann::ordered_json& record, const AlarmEvent& event,
                                               const char* phase, long long id, const std::string& clipState) {
    EventMessageInfo info;
    info.id = id;
    info.clipState = clipState;
    info.publicUrl = settings_.publicUrl;
    const std::string what = phase;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto found = startsMs_.find(event.firstFrame);
        // An event seen first at its end (none before) began when its stream time says.
        info.startMs = found != startsMs_.end()
                           ? found->second
                           : NowMs() - static_cast<long long>((event.endTime - event.startTime) * 1000.0);
        if (what == "start") startsMs_[event.firstFrame] = info.startMs;
        if (what == "end") startsMs_.erase(event.firstFrame);
    }
    // Its end in clock time: the start and the stream time between.
    if (what == "end") info.endMs = info.startMs + static_cast<long long>((event.endTime - event.startTime) * 1000.0);
    // The event store's own times, when it has the event: the page shows the same.
    if (const auto stored = id > 0 && events_ ? events_->Find(id) : std::nullopt) {
        info.startMs = stored->event.startMs;
        if (what == "end" && stored->event.endMs) info.endMs = stored->event.endMs;
    }
    return EventMessage(record, info);
}

void CameraServices::Progress(const AlarmEvent& event) {
    if (!events_ || event.detections == progressDetections_) return;
    const Clock::time_point now = Clock::now();
    if (now - progressAt_ < std::chrono::seconds(1)) return;
    progressAt_ = now;
    progressDetections_ = event.detections;
    events_->Update(settings_.cameraId, event, "update", nullptr, {}, {});
}

void CameraServices::Event(const AlarmEvent& event, const char* phase, const std::string& snapshot) {
    const std::string what = phase;
    if (what == "start" && settings_.clips.clips) StartClip(event);
    // The message names the clip as it stands before the record may take it over.
    const nlohmann::ordered_json record = EventRecord(event, snapshot, phase);
    const std::string clip = ClipOf(event.firstFrame);
    const std::string clipState = ClipStateOf(event.firstFrame);
    if (what == "end") EventEnded(event, snapshot);
    if (recorder_ && what == "end") recorder_->End(event.firstFrame, event.endTime);
    if (settings_.eventEnded && what == "end") settings_.eventEnded();
    if (status_ && what == "start") status_->EventOpened();
    if (status_ && what == "end") status_->EventClosed();
    if (mqtt_ && what != "update")
        mqtt_->PublishCameraRetained(settings_.cameraId, "weapon", what == "end" ? "OFF" : "ON");
    long long id = 0;
    if (events_) {
        Jpeg thumbnail;
        // The thumbnail is only for the page.
        if (status_ && what != "end" && !event.bestFrame.empty()) {
            cv::Mat small;
            const cv::Size size = Fit(event.bestFrame.size(), {kThumbnailWidth, kThumbnailWidth});
            cv::resize(event.bestFrame, small, size, 0, 0, cv::INTER_AREA);
            std::vector<unsigned char> jpeg;
            if (cv::imencode(".jpg", small, jpeg))
                thumbnail = std::make_shared<const std::vector<unsigned char>>(std::move(jpeg));
        }
        id = events_->Update(settings_.cameraId, event, phase, std::move(thumbnail), snapshot, clip);
    }
    // The clip as it stood before the record took it over.
    const nlohmann::ordered_json message = Message(record, event, phase, id, clipState);
    const std::string line = RecordLine(message);
    if (mqtt_) {
        mqtt_->PublishEvent(settings_.cameraId, line, id);
        // The hub's attributes of the "weapon" sensor: the last alarm.
        nlohmann::ordered_json attributes = {{"event_id",
                                              id > 0 ? nlohmann::ordered_json(id) : nlohmann::ordered_json()},
                                             {"class_name", event.className},
                                             {"best_confidence", event.bestConfidence},
                                             {"start_utc", message["start_utc"]},
                                             {"clip_state", clipState}};
        if (message.contains("links")) {
            attributes["clip"] = message["links"]["clip"];
            attributes["event"] = message["links"]["event"];
        }
        mqtt_->PublishCameraRetained(settings_.cameraId, "attributes", RecordLine(attributes));
        // The start's first JPEG and each better one; the end adds nothing new.
        std::vector<unsigned char> jpeg;
        if (what != "end" && !event.bestFrame.empty() && cv::imencode(".jpg", event.bestFrame, jpeg)) {
            mqtt_->PublishSnapshot(settings_.cameraId, std::move(jpeg));
        }
    }
    if (webhooks_) webhooks_->Post(line, id);
}

void CameraServices::StateChanged(bool online, const std::string& reason) {
    if (status_) status_->StateChanged(online, reason);
}

void CameraServices::Failed(const std::string& reason) {
    if (status_) status_->SetFailed(reason);
}

void CameraServices::ClipDone(long long key, const std::string& path, const std::string& error) {
    if (!error.empty()) {
        Lost(key, error);
        return;
    }
    ++clipsWritten_;
    std::optional<nlohmann::ordered_json> record;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto found = clips_.find(key);
        if (found == clips_.end()) return;  // given up already (GiveUpClips)
        found->second.state = Clip::State::Written;
        found->second.path = path;
        if (found->second.record) {
            record = std::move(found->second.record);
            (*record)["clip"] = path;
            clips_.erase(found);
        }
    }
    if (events_) events_->ClipDone(settings_.cameraId, key, true, path);
    if (record) WriteLate(*record);
}

// A clip that will not be written: said, counted, and its event's record (now or at the
// event's end) names no clip.
void CameraServices::Lost(long long key, const std::string& reason) { NoClip(key, reason, clipsLost_); }

// The memory bound of the clips being made: an event beyond it gets no clip by design (said,
// counted, its record's clip null), not a loss.
void CameraServices::Skipped(long long key, const std::string& reason) { NoClip(key, reason, clipsSkipped_); }

void CameraServices::NoClip(long long key, const std::string& reason, std::atomic<long long>& counter) {
    std::optional<nlohmann::ordered_json> record;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto found = clips_.find(key);
        if (found == clips_.end()) return;  // given up already (GiveUpClips)
        if (found->second.record) {
            record = std::move(found->second.record);
            clips_.erase(found);
        } else {
            found->second.state = Clip::State::Lost;  // the record, at the event's end, names no clip
        }
    }
    ++counter;
    std::fprintf(stderr, "weapon-detect: camera %s: no clip for the event at frame %lld: %s\n",
                 settings_.cameraId.c_str(), key, reason.c_str());
    if (events_) events_->ClipDone(settings_.cameraId, key, false);
    if (record) WriteLate(*record);
}

void CameraServices::WriteLate(const nlohmann::ordered_json& record) {
    try {
        records_(record);
    } catch (const std::exception& e) {
        ++recordsLost_;
        std::fprintf(stderr, "weapon-detect: camera %s: %s\n", settings_.cameraId.c_str(), e.what());
    }
}

void CameraServices::InputEnded(bool stopped) {
    // A failed camera's "failed" stays (MqttPublisher keeps it).
    if (mqtt_ && !ended_.exchange(true)) mqtt_->PublishState(settings_.cameraId, stopped ? "offline" : "finished");
    if (recorder_) {
        recorder_->EndInput();
        if (stopped) recorder_->HurryAt(Clock::now() + kStopGrace);
    }
    if (status_) status_->SetFinished();
}

bool CameraServices::WaitClips(Clock::time_point deadline) { return !recorder_ || recorder_->Wait(deadline); }

void CameraServices::HurryClips(Clock::time_point at) {
    if (recorder_) recorder_->HurryAt(at);
}

void CameraServices::GiveUpClips() {
    std::vector<nlohmann::ordered_json> records;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = clips_.begin(); it != clips_.end();) {
            if (it->second.state == Clip::State::Recording) {
                ++clipsLost_;
                std::fprintf(
                    stderr,
                    "weapon-detect: camera %s: no clip for the event at frame %lld: still being written at the end\n",
                    settings_.cameraId.c_str(), it->first);
            }
            if (it->second.record) records.push_back(std::move(*it->second.record));
            it = clips_.erase(it);
        }
    }
    for (const auto& record : records) WriteLate(record);
}

void CameraServices::Close() {
    InputEnded(false);
    WaitClips(Clock::time_point::max());
}

void CameraServices::Discard() {
    if (recorder_) recorder_->Discard();
}

}  // namespace weapon_detect
