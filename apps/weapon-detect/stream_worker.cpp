#include "stream_worker.h"

#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include "alarm_events.h"
#include "output/annotate.h"
#include "output/records.h"

namespace weapon_detect {

StreamWorker::StreamWorker(std::unique_ptr<VideoSource> source, PluginModule::Detector detector,
                           StreamSettings settings, JsonLinesWriter& records)
    : source_(std::move(source)), detector_(std::move(detector)), settings_(std::move(settings)),
      records_(records) {}

void StreamWorker::Run(const std::atomic<bool>& stop) {
    if (!settings_.videoPath.empty()) {
        video_ = std::make_unique<VideoOutput>(settings_.videoPath, source_->fps() / settings_.stride,
                                               source_->size());
    }
    AlarmTracker alarms(settings_.quietSeconds);
    auto writeEvent = [&](const AlarmEvent& event) {
        std::string snapshot;
        if (!settings_.snapshotDir.empty()) {
            snapshot = (std::filesystem::path(settings_.snapshotDir) /
                        (FileNameFor(settings_.cameraId) + "_" + std::to_string(event.firstFrame) + ".jpg"))
                           .string();
            std::vector<unsigned char> jpeg;
            if (!cv::imencode(".jpg", event.bestFrame, jpeg)) throw std::runtime_error("cannot encode " + snapshot);
            WriteWholeFile(snapshot, jpeg);
        }
        records_.Write(EventRecord(settings_.cameraId, event, snapshot));
        ++progress_.events;
    };

    cv::Mat frame;
    long long index = -1;
    while (!stop && (settings_.maxFrames <= 0 || index + 1 < settings_.maxFrames) && source_->Read(frame)) {
        ++index;
        ++progress_.frames;
        if (index % settings_.stride != 0) continue;
        ++progress_.analysed;
        const auto detections = detector_->RunInference(frame, settings_.cameraId);
        progress_.detections += static_cast<long long>(detections.size());
        if (!detections.empty()) {
            records_.Write(FrameRecord(settings_.cameraId, index, source_->Timestamp(), detections));
        }
        if (const auto ended = alarms.Update(index, source_->Timestamp(), detections, frame)) writeEvent(*ended);
        if (video_) {
            DrawDetections(frame, detections);  // the frame is ours: the next Read replaces it
            video_->Write(frame);
        }
    }
    if (const auto ended = alarms.Finish()) writeEvent(*ended);
}

void StreamWorker::DiscardOutputs() {
    if (video_) video_->Discard();
}

void StreamWorker::CommitOutputs() {
    if (video_ && !video_->Finish()) {
        std::fprintf(stderr, "weapon-detect: no frame was written for %s; the video is not kept\n",
                     settings_.videoPath.c_str());
    }
}

}  // namespace weapon_detect
