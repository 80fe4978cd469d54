#include "camera_services.h"

#include <cmath>
#include <cstdio>
#include <filesystem>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "output/annotate.h"
#include "output/output_file.h"
#include "output/records.h"

namespace weapon_detect {
namespace {

constexpr int kThumbnailWidth = 320;

// The size that fits `frame` into `box`, never larger than the frame, even in both sides
// (H.264 in 4:2:0 asks for that).
cv::Size Fit(cv::Size frame, cv::Size box) {
    const double scale = std::min({1.0, static_cast<double>(box.width) / frame.width,
                                   static_cast<double>(box.height) / frame.height});
    return {std::max(2, static_cast<int>(std::lround(frame.width * scale)) & ~1),
            std::max(2, static_cast<int>(std::lround(frame.height * scale)) & ~1)};
}

}  // namespace

CameraServices::CameraServices(CameraServiceSettings settings, CameraStatus* status, EventTable* events,
                               WebhookSender* webhooks, MqttPublisher* mqtt)
    : settings_(std::move(settings)), status_(status), events_(events), webhooks_(webhooks),
      mqtt_(mqtt) {
    settings_.clips.clips = settings_.clips.clips && !settings_.snapshotDir.empty();
    settings_.clips.liveInterval = status_ ? 0.2 : 0.0;
    if (settings_.clips.clips || status_) {
        recorder_ = std::make_unique<ClipRecorder>(
            settings_.clips,
            [this](long long key, const std::string& path, const std::string& error) { ClipDone(key, path, error); },
            [this](Jpeg jpeg) { status_->SetLive(std::move(jpeg)); });
    }
    if (mqtt_) mqtt_->PublishCameraRetained(settings_.cameraId, "weapon", "OFF");
}

CameraServices::~CameraServices() { Close(); }

void CameraServices::Analysed(const cv::Mat& frame, const std::vector<CustomObject>& detections, double time,
                              double delay, double detectorSeconds) {
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
    const double sx = static_cast<double>(size.width) / frame.cols, sy = static_cast<double>(size.height) / frame.rows;
    for (const CustomObject& d : detections) {
        const cv::Rect box(static_cast<int>(d.box.x * sx), static_cast<int>(d.box.y * sy),
                           std::max(1, static_cast<int>(d.box.width * sx)), std::max(1, static_cast<int>(d.box.height * sy)));
        char label[128];
        std::snprintf(label, sizeof label, "%s %.2f", d.className.c_str(), static_cast<double>(d.confidence));
        DrawDetection(reduced, box, label);
    }
    recorder_->Push(std::move(reduced), time);
}

std::string CameraServices::ClipPath(const AlarmEvent& event) const {
    if (!settings_.clips.clips) return {};
    const std::string path = (std::filesystem::path(settings_.snapshotDir) /
                              (FileNameFor(settings_.cameraId) + "_" + std::to_string(event.firstFrame) + ".mp4"))
                                 .string();
    for (const std::string& input : settings_.inputs) {
        std::error_code error;
        if (std::filesystem::equivalent(path, input, error)) return {};
    }
    return path;
}

nlohmann::ordered_json CameraServices::EventRecord(const AlarmEvent& event, const std::string& snapshot,
                                                   const char* phase) const {
    nlohmann::ordered_json record = weapon_detect::EventRecord(settings_.cameraId, event, snapshot, phase);
    const std::string clip = ClipPath(event);
    record["clip"] = clip.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(clip);
    return record;
}

void CameraServices::Event(const AlarmEvent& event, const char* phase, const std::string& snapshot) {
    const std::string what = phase;
    const std::string clip = ClipPath(event);
    if (recorder_ && what == "start" && !clip.empty()) recorder_->Begin(event.firstFrame, clip, event.startTime);
    if (what == "start" && clip.empty() && settings_.clips.clips) {
        std::fprintf(stderr, "weapon-detect: camera %s: no clip for the event at frame %lld: it would replace an input\n",
                     settings_.cameraId.c_str(), event.firstFrame);
    }
    if (recorder_ && what == "end") recorder_->End(event.firstFrame, event.endTime);
    if (mqtt_ && what != "update") mqtt_->PublishCameraRetained(settings_.cameraId, "weapon", what == "end" ? "OFF" : "ON");
    if (events_) {
        Jpeg thumbnail;
        if (what != "end" && !event.bestFrame.empty()) {
            cv::Mat small;
            const cv::Size size = Fit(event.bestFrame.size(), {kThumbnailWidth, kThumbnailWidth});
            cv::resize(event.bestFrame, small, size, 0, 0, cv::INTER_AREA);
            std::vector<unsigned char> jpeg;
            if (cv::imencode(".jpg", small, jpeg)) thumbnail = std::make_shared<const std::vector<unsigned char>>(std::move(jpeg));
        }
        events_->Update(settings_.cameraId, event, phase, std::move(thumbnail), snapshot, clip);
    }
    if (webhooks_) webhooks_->Post(RecordLine(EventRecord(event, snapshot, phase)));
}

void CameraServices::StateChanged(bool online) {
    if (status_) status_->StateChanged(online);
}

void CameraServices::ClipDone(long long key, const std::string&, const std::string& error) {
    if (events_) events_->ClipDone(settings_.cameraId, key, error.empty());
    if (!error.empty()) std::fprintf(stderr, "weapon-detect: camera %s: no clip: %s\n", settings_.cameraId.c_str(), error.c_str());
}

void CameraServices::Close() {
    if (recorder_) recorder_->Close();
    if (status_) status_->SetFinished();
}

void CameraServices::Discard() {
    if (recorder_) recorder_->Discard();
}

}  // namespace weapon_detect
