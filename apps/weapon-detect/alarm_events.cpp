#include "alarm_events.h"

#include <algorithm>

#include "output/annotate.h"

namespace weapon_detect {

AlarmChanges AlarmTracker::Update(long long frameIndex, double time, const std::vector<CustomObject>& detections,
                                  const cv::Mat& frame, uint64_t touched, const std::vector<Zone>* zones) {
    AlarmChanges changes;
    if (open_ && time - open_->endTime > quietSeconds_) changes.ended = Finish();
    if (detections.empty()) return changes;

    if (!open_) {
        changes.started = true;
        open_.emplace();
        open_->startTime = time;
        open_->firstFrame = frameIndex;
    }
    AlarmEvent& event = *open_;
    event.endTime = time;
    event.lastFrame = frameIndex;
    event.detections += static_cast<int>(detections.size());
    for (size_t k = 0; zones && k < zones->size() && k < 64; ++k) {
        const std::string& name = (*zones)[k].name;
        if ((touched >> k & 1) && std::find(event.zones.begin(), event.zones.end(), name) == event.zones.end()) {
            event.zones.push_back(name);
        }
    }
    for (const CustomObject& d : detections) {
        if (d.confidence <= event.bestConfidence && !event.bestFrame.empty()) continue;
        changes.improved = !changes.started;
        event.bestConfidence = d.confidence;
        event.bestBox = d.box;
        event.className = d.className;
        frame.copyTo(event.bestFrame);
        if (decorate_) decorate_(event.bestFrame);
        DrawDetection(event.bestFrame, d);
    }
    return changes;
}

std::optional<AlarmEvent> AlarmTracker::Finish() {
    std::optional<AlarmEvent> ended;
    ended.swap(open_);
    return ended;
}

}  // namespace weapon_detect
