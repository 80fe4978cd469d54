// The search for a new area: one ranked section per frame, locking on to the best
// candidate found there.
#include <algorithm>

#include "detector/ZRVCustomWD.h"
#include "common/tuning.h"
#include "detector/checked_geometry.h"

namespace {
constexpr int kSmallestWindow = 51;        // a window 50 pixels wide or high is skipped
}  // namespace

void ZRVCustomWD::ProcessNewDetectedArea(const cv::Mat& frame, const std::string& cameraId,
                                         std::vector<Object>& results) {
    _confirmationCount = std::max(_confirmationCount - 1, 0);

    refreshSections(frame);

    // After the last section the cursor passes one step on no section, then restarts.
    if (_currentPriority != 0 && _currentPriority <= getLowestPriorityRegion()) {
        ++_currentPriority;
    } else {
        _currentPriority = getHighestPriorityRegion();
    }

    _detectedArea = getRegionByPriority(_currentPriority) & cv::Rect(0, 0, frame.cols, frame.rows);
    if (_detectedArea.width < kSmallestWindow || _detectedArea.height < kSmallestWindow) {
        _detectedArea = cv::Rect(0, 0, 0, 0);
        return;
    }

    // A view sharing the frame's pixels; nothing is copied.
    std::vector<Object>& detections = _lists.candidates;
    detections.clear();
    _detector->RunInference(frame(_detectedArea), cameraId.c_str(), detections);
    if (detections.empty()) {
        _detectedArea = cv::Rect(0, 0, 0, 0);
        return;
    }

    const float floor = std::min(zrv::tuning::kCandidateFloorCap, _detectionScoreThreshold);
    float bestConfidence = 0.0f;
    Object* best = nullptr;
    for (Object& detection : detections) {
        detection.box = zrv::ShiftBox(detection.box, _detectedArea.x, _detectedArea.y);
        detection.cameraId = cameraId;
        if (detection.confidence > floor && detection.confidence > bestConfidence) {
            bestConfidence = detection.confidence;
            best = &detection;
        }
    }
    if (!best) {
        _detectedArea = cv::Rect(0, 0, 0, 0);
        return;
    }

    // Lock on whether or not the candidate is confirmed: the next frames track it.
    UpdateDetectedAreaFromObject(frame, *best);
    _areaActive = true;
    _noDetectionCount = 0;

    std::vector<Object> persons = RunFilterGetPersons(frame);
    const bool personsPresent = !persons.empty() || !_filter;
    ProcessWeaponDetection(frame, *best, results, persons, personsPresent);
    zrv::detector::GiveBack(_lists.persons, persons);
}
