// Alarm events: consecutive detections on one camera form one event, which ends once the
// camera has been quiet (no detection) for a set time of stream time.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "camera/areas.h"
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
    std::vector<std::string> zones;  // the zones its detections touched, in the order first touched
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
    // `decorate` (may be empty) draws on the best frame's copy before its box is drawn: the
    // camera's masks and zones.
    explicit AlarmTracker(double quietSeconds, std::function<void(cv::Mat&)> decorate = {})
        : quietSeconds_(quietSeconds), decorate_(std::move(decorate)) {}

    // Feeds one analysed frame: the detections that raise alarms (masked ones left out). A
    // frame with detections after the quiet time ends the old event and starts a new one.
    // `touched` has bit k set when a detection touched `zones[k]` (`zones` may be null when 0).
    AlarmChanges Update(long long frameIndex, double time, const std::vector<CustomObject>& detections,
                        const cv::Mat& frame, uint64_t touched = 0, const std::vector<Zone>* zones = nullptr);
    // The open event, if any.
    const AlarmEvent* open() const { return open_ ? &*open_ : nullptr; }
    // Ends the open event at the end of the stream.
    std::optional<AlarmEvent> Finish();

private:
    double quietSeconds_;
    std::function<void(cv::Mat&)> decorate_;
    std::optional<AlarmEvent> open_;
};

}  // namespace weapon_detect
