// Alarm events: consecutive detections on one camera form one event, which ends once the
// camera has been quiet (no detection) for a set time of stream time.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "zrv/ZRVCustomClass.h"

namespace weapon_detect {

struct AlarmEvent {
    double startTime = 0.0, endTime = 0.0;  // stream seconds of the first and last detection
    long long firstFrame = 0, lastFrame = 0;
    int detections = 0;
    float bestConfidence = 0.0f;
    cv::Rect bestBox;
    std::string className;  // of the best detection
    cv::Mat bestFrame;      // a copy of the frame of the best detection, box drawn
};

// What one frame changed: the event it ended, and whether it started an event or improved
// the open event's best detection.
struct AlarmChanges {
    std::optional<AlarmEvent> ended;
    bool started = false;
    bool improved = false;
};

class AlarmTracker {
public:
    explicit AlarmTracker(double quietSeconds) : quietSeconds_(quietSeconds) {}

    // Feeds one analysed frame. A frame with detections after the quiet time ends the old
    // event and starts a new one.
    AlarmChanges Update(long long frameIndex, double time, const std::vector<CustomObject>& detections,
                        const cv::Mat& frame);
    // The open event, if any.
    const AlarmEvent* open() const { return open_ ? &*open_ : nullptr; }
    // Ends the open event at the end of the stream.
    std::optional<AlarmEvent> Finish();

private:
    double quietSeconds_;
    std::optional<AlarmEvent> open_;
};

}  // namespace weapon_detect
