#include "stream_worker.h"

#include <time.h>

#include <cmath>
#include <cstdio>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>

#include "alarm_events.h"
#include "camera_services.h"
#include "output/annotate.h"
#include "output/output_file.h"
#include "output/records.h"
#include "searchable_frame.h"
#include "secrets.h"

namespace weapon_detect {

namespace {

// CPU time the calling thread has used, in nanoseconds.
long long ThreadCpuNs() {
    timespec t{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t) != 0) return 0;
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

}  // namespace

StreamWorker::StreamWorker(std::unique_ptr<VideoSource> source, PluginModule::Detector detector,
                           StreamSettings settings, JsonLinesWriter& records, MqttPublisher* mqtt,
                           std::chrono::steady_clock::time_point start)
    : source_(std::move(source)),
      detector_(std::move(detector)),
      settings_(std::move(settings)),
      records_(records),
      mqtt_(mqtt),
      start_(start),
      alarms_(std::make_unique<AlarmTracker>(settings_.quietSeconds, [this](cv::Mat& image) {
          if (areaOverlay_) areaOverlay_->Draw(image);
      })) {
    if (source_) progress_.total = source_->frameCount();
    if (!settings_.areas.empty()) {
        areaRules_ = std::make_unique<AreaRules>(settings_.areas);
        areaOverlay_ = std::make_unique<AreaOverlay>(settings_.areas);
    }
    nextStats_ = settings_.statsSeconds;
    if (!settings_.groundTruth.empty()) {
        GroundTruth truth = ReadGroundTruth(settings_.groundTruth);
        if (progress_.total > 0 && truth.lastFrame >= progress_.total) {
            throw GroundTruthError(truth.path + ":" + std::to_string(truth.lastFrameLine) + ": frame " +
                                   std::to_string(truth.lastFrame + 1) + " is beyond the video's " +
                                   std::to_string(progress_.total) + " frames");
        }
        scorer_ = std::make_unique<Scorer>(std::move(truth), source_ ? source_->fps() : 25.0);
    }
}

std::optional<Score> StreamWorker::FinishScore() {
    if (!scorer_) return std::nullopt;
    scorer_->FramesRead(progress_.frames, reachedEnd_);
    return scorer_->Finish();
}

double StreamWorker::Now() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void StreamWorker::Run(const std::atomic<bool>& stop) {
    if (settings_.realtime) {
        RunLive(stop);
    } else {
        RunFile(stop);
    }
    if (const auto ended = alarms_->Finish()) WriteEvent(*ended);
    // The clips end on their own thread; the run waits for them (SiteServices::Close).
    if (services_) services_->InputEnded(stop);
}

void StreamWorker::RunFile(const std::atomic<bool>& stop) {
    if (!settings_.videoPath.empty()) OpenVideo(source_->fps() / settings_.stride, source_->size());
    cv::Mat frame;
    long long index = -1;
    while (!stop && (settings_.maxFrames <= 0 || index + 1 < settings_.maxFrames)) {
        if (!source_->Read(frame)) {
            reachedEnd_ = true;
            const std::string early = source_->EndedEarly();
            if (!early.empty()) ReportEndedEarly(early);
            return;
        }
        ++index;
        ++progress_.frames;
        ++progress_.decoded;
        if (index % settings_.stride != 0) continue;
        Analyse(frame, index, source_->Timestamp(), -1.0);
    }
}

void StreamWorker::ReportEndedEarly(const std::string& early) {
    // Frames never analysed: said, recorded and a failure of the run.
    ++progress_.errors;
    std::fprintf(stderr, "weapon-detect: camera %s: input %s %s\n", settings_.cameraId.c_str(),
                 MaskSecrets(settings_.input).c_str(), early.c_str());
    records_.Write(InputErrorRecord(settings_.cameraId, Now(), MaskSecrets(settings_.input), early));
}

void StreamWorker::RunLive(const std::atomic<bool>& stop) {
    // A file given --realtime is read at its own pace, like a camera, and ends at its end.
    const bool file = source_ != nullptr;
    if (file) {
        settings_.live.paceFps = source_->fps();
        settings_.live.atEnd = settings_.loop ? LiveSettings::AtEnd::Restart : LiveSettings::AtEnd::Finish;
    }
    const std::string input = source_ ? source_->input() : settings_.input;
    source_.reset();
    LiveSource live(input, settings_.live, start_,
                    [this](bool online, const std::string& reason, double time) { SetState(online, reason, time); });
    LiveFrame frame;
    long long lastAnalysed = -settings_.stride;
    while (!stop && !live.finished() && (settings_.maxFrames <= 0 || progress_.frames < settings_.maxFrames)) {
        if (!live.Take(frame, std::chrono::milliseconds(200))) continue;
        progress_.frames = live.read();
        progress_.dropped = live.dropped();
        progress_.decoded = live.decoded();
        progress_.cameraFps = live.cameraFps();
        if (frame.index - lastAnalysed < settings_.stride) continue;
        lastAnalysed = frame.index;
        if (!liveVideo_ && !videoFailed_ && !settings_.videoPath.empty()) {
            // Opens once the camera's rate is measured; a file's own rate is known.
            liveVideo_ = std::make_unique<LiveVideo>(settings_.videoPath, file ? settings_.live.paceFps : 0.0);
        }
        Analyse(frame.image, frame.index, frame.captureTime, frame.captureTime);
    }
    progress_.dropped = live.dropped();
    progress_.decoded = live.decoded();
    if (file && live.finished() && live.read() > 0) {
        reachedEnd_ = true;
        // Frame counts of some containers are estimates: one frame short is not a truncation.
        const long long total = progress_.total;
        if (total > 0 && live.read() + 1 < total) {
            ReportEndedEarly("ended after " + std::to_string(live.read()) + " of " + std::to_string(total) +
                             " frames: the rest cannot be read (a truncated or damaged file)");
        }
    }
    // A camera that gave up without a single frame never worked: a failure, so that a
    // service manager restarting on failure sees it.
    if (!stop && live.finished() && live.read() == 0) {
        throw std::runtime_error("gave up without a single frame from " + input);
    }
}

void StreamWorker::OpenVideo(double fps, cv::Size size) {
    try {
        video_ = std::make_unique<VideoOutput>(settings_.videoPath, fps, size);
    } catch (const std::exception& e) {
        VideoFailed(e.what());
    }
}

void StreamWorker::VideoFailed(const std::string& reason) {
    videoFailed_ = true;
    ++progress_.errors;
    std::fprintf(stderr, "weapon-detect: camera %s: %s; the analysis goes on without it\n", settings_.cameraId.c_str(),
                 MaskSecrets(reason).c_str());
    records_.Write(OutputErrorRecord(settings_.cameraId, Now(), settings_.videoPath, MaskSecrets(reason)));
}

void StreamWorker::Analyse(cv::Mat& frame, long long index, double streamTime, double captureTime) {
    if (!tooSmallSaid_ && !FrameIsSearched(frame.cols, frame.rows)) {
        // The plug-in takes such frames without a word and never searches them: said once.
        tooSmallSaid_ = true;
        std::fprintf(stderr,
                     "weapon-detect: camera %s: frames of %d x %d pixels are too small to search (the module "
                     "searches sections of at least %d x %d pixels); nothing will be found in them\n",
                     settings_.cameraId.c_str(), frame.cols, frame.rows, kSmallestSearchedSide, kSmallestSearchedSide);
    }
    ++progress_.analysed;
    const double before = Now();
    const long long cpuBefore = ThreadCpuNs();
    auto detections = detector_->RunInference(frame, settings_.cameraId);
    progress_.detectorCpuNs += ThreadCpuNs() - cpuBefore;
    const double now = Now();
    const double delay = captureTime >= 0 ? now - captureTime : -1.0;
    if (captureTime >= 0) progress_.delay = delay;
    progress_.detections += static_cast<long long>(detections.size());
    const uint64_t touched = ApplyAreas(detections, frame.size());
    if (scorer_) scorer_->Frame(index, detections);
    if (!detections.empty() || !ignored_.empty()) {
        records_.Write(FrameRecord(settings_.cameraId, index, streamTime, detections, delay, ignored_, ignoredWhy_));
    }
    if (services_) services_->Analysed(frame, detections, streamTime, delay, now - before, ignored_, ignoredWhy_);
    const AlarmChanges changes = alarms_->Update(index, streamTime, detections, frame, touched,
                                                 areaRules_ ? &areaRules_->areas().zones : nullptr);
    if (changes.ended) WriteEvent(*changes.ended);
    if (services_ && (changes.started || changes.improved)) {
        services_->Event(*alarms_->open(), changes.started ? "start" : "update", {});
    } else if (services_ && alarms_->open()) {
        services_->Progress(*alarms_->open());
    }
    // With services, they publish the event (with its id and links).
    if (mqtt_ && !services_ && (changes.started || changes.improved)) {
        PublishEvent(*alarms_->open(), changes.started ? "start" : "update");
    }
    if (video_ || liveVideo_) {
        // The frame is ours: the next read replaces it.
        if (areaOverlay_) areaOverlay_->Draw(frame);
        DrawDetections(frame, detections);
        DrawIgnored(frame, ignored_, ignoredWhy_);
        if (video_) video_->Write(frame);
    }
    if (liveVideo_) {
        try {
            liveVideo_->Write(frame, index, captureTime);  // may keep the frame: it is not used below
        } catch (const std::exception& e) {
            liveVideo_.reset();
            VideoFailed(e.what());
        }
    }
    if (settings_.statsSeconds > 0 && now >= nextStats_) {
        const double fps = now > statsTime_ ? (progress_.analysed - statsAnalysed_) / (now - statsTime_) : 0.0;
        records_.Write(StatsRecord(settings_.cameraId, now, progress_.frames, progress_.analysed, progress_.dropped,
                                   progress_.decoded, fps, progress_.cameraFps, captureTime >= 0 ? delay : -1.0));
        statsAnalysed_ = progress_.analysed;
        statsTime_ = now;
        nextStats_ = now + settings_.statsSeconds;
    }
}

uint64_t StreamWorker::ApplyAreas(std::vector<CustomObject>& detections, cv::Size frame) {
    ignored_.clear();
    ignoredWhy_.clear();
    if (!areaRules_) return 0;
    uint64_t touched = 0;
    size_t kept = 0;
    for (size_t i = 0; i < detections.size(); ++i) {
        const AreaVerdict verdict = areaRules_->Judge(detections[i].box, frame);
        if (verdict.kind == AreaVerdict::Kind::Alarm) {
            touched |= verdict.zones;
            if (kept != i) detections[kept] = std::move(detections[i]);
            ++kept;
            continue;
        }
        ++(verdict.kind == AreaVerdict::Kind::Masked ? progress_.masked : progress_.outsideZones);
        ignored_.push_back(std::move(detections[i]));
        ignoredWhy_.push_back(IgnoredReason(verdict.kind));
    }
    detections.erase(detections.begin() + static_cast<std::ptrdiff_t>(kept), detections.end());
    return touched;
}

void StreamWorker::PublishEvent(const AlarmEvent& event, const char* phase) {
    mqtt_->PublishEvent(settings_.cameraId, RecordLine(EventJson(event, {}, phase)));
    std::vector<unsigned char> jpeg;
    if (cv::imencode(".jpg", event.bestFrame, jpeg)) mqtt_->PublishSnapshot(settings_.cameraId, std::move(jpeg));
}

void StreamWorker::WriteEvent(const AlarmEvent& event) {
    std::string snapshot;
    // Below half the storage floor the snapshot gives way; the record is still written.
    const std::string refusal = services_ ? services_->SnapshotRefusal() : std::string();
    if (!refusal.empty()) {
        std::fprintf(stderr, "weapon-detect: camera %s: no snapshot for the event at frame %lld: %s\n",
                     settings_.cameraId.c_str(), event.firstFrame, refusal.c_str());
    }
    if (!settings_.snapshotDir.empty() && refusal.empty()) {
        // Beside the event's clip, under the same name.
        snapshot = services_ ? services_->SnapshotPath(event)
                             : EventFileStem(settings_.snapshotDir, settings_.cameraId, event.firstFrame) + ".jpg";
        std::vector<unsigned char> jpeg;
        if (!cv::imencode(".jpg", event.bestFrame, jpeg)) throw std::runtime_error("cannot encode " + snapshot);
        // Never over an earlier run's snapshot of the same camera and frame number.
        snapshot = WriteNewFile(snapshot, jpeg);
    }
    const bool publish = mqtt_ && !services_;  // with services, they publish it
    const std::string message = publish ? RecordLine(EventJson(event, snapshot, "end")) : std::string();
    if (scorer_) scorer_->Event(event.firstFrame, event.lastFrame);
    // With services, the record waits for the event's clip (CameraServices).
    if (services_) {
        services_->Event(event, "end", snapshot);
    } else {
        records_.Write(EventJson(event, snapshot, nullptr));
    }
    if (publish) mqtt_->PublishEvent(settings_.cameraId, message);
    ++progress_.events;
}

nlohmann::ordered_json StreamWorker::EventJson(const AlarmEvent& event, const std::string& snapshot,
                                              const char* phase) const {
    return services_ ? services_->EventRecord(event, snapshot, phase)
                     : EventRecord(settings_.cameraId, event, snapshot, phase);
}

void StreamWorker::SetState(bool online, const std::string& rawReason, double time) {
    const std::string reason = MaskSecrets(rawReason);
    // Runs on the reader's thread: a failure here is the records' own, and the worker's next
    // write reports it.
    progress_.online = online;
    if (services_) services_->StateChanged(online, reason);
    const char* state = online ? "online" : "offline";
    std::fprintf(stderr, "weapon-detect: camera %s %s: %s\n", settings_.cameraId.c_str(), state, reason.c_str());
    try {
        records_.Write(CameraRecord(settings_.cameraId, state, time, reason));
        if (mqtt_) mqtt_->PublishState(settings_.cameraId, state);
    } catch (const std::exception&) {
    }
}

void StreamWorker::ReportFailure(const std::string& rawReason) {
    const std::string reason = MaskSecrets(rawReason);
    progress_.failed = true;
    if (services_) services_->Failed(reason);
    std::fprintf(stderr, "weapon-detect: camera %s failed: %s\n", settings_.cameraId.c_str(), reason.c_str());
    try {
        records_.Write(CameraRecord(settings_.cameraId, "failed", Now(), reason));
    } catch (const std::exception&) {
        // The records themselves cannot be written: the message above says it all.
    }
    if (mqtt_) mqtt_->PublishState(settings_.cameraId, "failed");
}

void StreamWorker::DiscardOutputs() {
    if (video_) video_->Discard();
    if (liveVideo_) liveVideo_->Discard();
}

void StreamWorker::CommitOutputs() {
    if ((video_ && !video_->Finish()) || (liveVideo_ && !liveVideo_->Finish())) {
        std::fprintf(stderr, "weapon-detect: no frame was written for %s; the video is not kept\n",
                     settings_.videoPath.c_str());
    }
}

}  // namespace weapon_detect
