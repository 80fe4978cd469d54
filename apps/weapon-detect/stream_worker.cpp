#include "stream_worker.h"

#include <filesystem>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include "alarm_events.h"
#include "annotate.h"
#include "records.h"

namespace weapon_detect {

StreamWorker::StreamWorker(std::unique_ptr<VideoSource> source, PluginModule::Detector detector,
                           StreamSettings settings, JsonLinesWriter& records)
    : source_(std::move(source)), detector_(std::move(detector)), settings_(std::move(settings)),
      records_(records) {}

void StreamWorker::Run(const std::atomic<bool>& stop) {
    cv::VideoWriter writer;
    if (!settings_.videoPath.empty()) {
        video_ = std::make_unique<OutputFile>(settings_.videoPath);
        const double fps = source_->fps() / settings_.stride;
        const int codec = std::filesystem::path(settings_.videoPath).extension() == ".avi"
                              ? cv::VideoWriter::fourcc('M', 'J', 'P', 'G')
                              : cv::VideoWriter::fourcc('m', 'p', '4', 'v');
        if (!writer.open(video_->partPath(), codec, fps, source_->size())) {
            throw std::runtime_error("cannot write the video " + settings_.videoPath);
        }
    }
    AlarmTracker alarms(settings_.quietSeconds);
    auto writeEvent = [&](const AlarmEvent& event) {
        std::string snapshot;
        if (!settings_.snapshotDir.empty()) {
            snapshot = (std::filesystem::path(settings_.snapshotDir) /
                        (settings_.cameraId + "_" + std::to_string(event.firstFrame) + ".jpg")).string();
            if (!cv::imwrite(snapshot, event.bestFrame)) throw std::runtime_error("cannot write " + snapshot);
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
        if (writer.isOpened()) {
            DrawDetections(frame, detections);  // the frame is ours: the next Read replaces it
            writer.write(frame);
        }
    }
    if (const auto ended = alarms.Finish()) writeEvent(*ended);
    writer.release();
}

void StreamWorker::CommitOutputs() {
    if (video_) video_->Commit();
}

}  // namespace weapon_detect
