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

class AlarmTracker {
public:
    explicit AlarmTracker(double quietSeconds) : quietSeconds_(quietSeconds) {}

    // Feeds one analysed frame. Returns the event that this frame ended, if any; a frame
    // with detections after the quiet time ends the old event and starts a new one.
    std::optional<AlarmEvent> Update(long long frameIndex, double time,
                                     const std::vector<CustomObject>& detections, const cv::Mat& frame);
    // Ends the open event at the end of the stream.
    std::optional<AlarmEvent> Finish();

private:
    double quietSeconds_;
    std::optional<AlarmEvent> open_;
};

}  // namespace weapon_detect
