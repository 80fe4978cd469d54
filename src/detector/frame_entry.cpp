// The host's entry for every frame: the frame test, the choice between search and
// tracking, the threshold filter and the conversion to the host's records.
#include <cstdio>
#include <exception>

#include "detector/ZRVCustomWD.h"
#include "detector/console.h"
#include "detector/held_area.h"

namespace {
std::string ThresholdText(float threshold) {
    char text[64];
    std::snprintf(text, sizeof text, "Detection Score Threshold:%f", static_cast<double>(threshold));
    return text;
}
}  // namespace

std::vector<CustomObject> ZRVCustomWD::RunInference(const cv::Mat& frame) {
    return RunInference(frame, "CustomCam");
}

std::vector<CustomObject> ZRVCustomWD::RunInference(const cv::Mat& frame,
                                                    const std::string& cameraId) {
    std::lock_guard<std::recursive_mutex> lock(_mutex);
    // Lines of the frame (its notes, the engine's) reach a sink when the frame is done.
    const zrv::detector::ConsoleHold hold;
    if (!_detector || !CheckFrame(frame, cameraId)) return {};

    try {
        std::vector<Object> detections;
        if (zrv::detector::CoversSmallestWindow(_detectedArea)) {
            detections = ProcessExistingDetectedArea(frame, cameraId);
        } else {
            detections = zrv::detector::TakeList(_lists.detections);
            ProcessNewDetectedArea(frame, cameraId, detections);
        }

        std::vector<CustomObject> results;
        results.reserve(detections.size());
        const float threshold = _detectionScoreThreshold;
        if (!detections.empty() && !(_lists.thresholdTextOf == threshold)) {
            _lists.thresholdText = ThresholdText(threshold);
            _lists.thresholdTextOf = threshold;
        }
        const std::string& extraInfo = _lists.thresholdText;
        for (const Object& detection : detections) {
            // "At least" the threshold; a score that is not a number fails this test.
            if (!(detection.confidence >= threshold)) continue;
            CustomObject entry;
            entry.classId = detection.classId;
            entry.className = detection.className;
            entry.confidence = detection.confidence;
            entry.box = detection.box;
            entry.cameraId = detection.cameraId;
            entry.extraInfo = extraInfo;
            results.push_back(std::move(entry));
        }
        zrv::detector::GiveBack(_lists.detections, detections);
        _lists.EmptyAll();

        if (results.empty()) UpdateNoDetectionCondition();
        return results;
    } catch (const std::exception&) {
        _lists.EmptyAll();
        return {};
    }
}
