#include "alarm_events.h"

#include <cstdio>

#include "output/annotate.h"

namespace weapon_detect {

std::optional<AlarmEvent> AlarmTracker::Update(long long frameIndex, double time,
                                               const std::vector<CustomObject>& detections,
                                               const cv::Mat& frame) {
    std::optional<AlarmEvent> ended;
    if (open_ && time - open_->endTime > quietSeconds_) ended = Finish();
    if (detections.empty()) return ended;

    if (!open_) {
        open_.emplace();
        open_->startTime = time;
        open_->firstFrame = frameIndex;
    }
    AlarmEvent& event = *open_;
    event.endTime = time;
    event.lastFrame = frameIndex;
    event.detections += static_cast<int>(detections.size());
    for (const CustomObject& d : detections) {
        if (d.confidence <= event.bestConfidence && !event.bestFrame.empty()) continue;
        event.bestConfidence = d.confidence;
        event.bestBox = d.box;
        event.className = d.className;
        frame.copyTo(event.bestFrame);
        char label[128];
        std::snprintf(label, sizeof label, "%s %.2f", d.className.c_str(), static_cast<double>(d.confidence));
        DrawDetection(event.bestFrame, d.box, label);
    }
    return ended;
}

std::optional<AlarmEvent> AlarmTracker::Finish() {
    std::optional<AlarmEvent> ended;
    ended.swap(open_);
    return ended;
}

}  // namespace weapon_detect
