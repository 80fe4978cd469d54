// The search for a new area: one ranked section per frame, locking on to the best
// candidate found there.
#include <algorithm>

#include "detector/ZRVCustomWD.h"
#include "common/tuning.h"
#include "detector/checked_geometry.h"
#include "detector/held_area.h"
#include "detector/person_check.h"

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
    if (!zrv::detector::CoversSmallestWindow(_detectedArea)) {
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

    // Strictly above the floor: a candidate scoring exactly the floor is not locked on to.
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
    ProcessWeaponDetection(frame, *best, results, persons,
                           zrv::detector::PersonsPresent(persons, _filter != nullptr));
    zrv::detector::GiveBack(_lists.persons, persons);
}
