// Tracking of the held area: the weapon model runs on the area alone, and each candidate
// must score, not fill the area, and move before it is confirmed.
#include "detector/ZRVCustomWD.h"
#include "detector/checked_geometry.h"
#include "detector/person_check.h"

namespace {
constexpr float kAreaIoURejectFrom = 0.5f;
constexpr float kMotionOverlapThreshold = 0.0f;
}  // namespace

std::vector<ZRVCustomWD::Object> ZRVCustomWD::ProcessExistingDetectedArea(
    const cv::Mat& frame, const std::string& cameraId) {
    std::vector<Object> results = zrv::detector::TakeList(_lists.detections);

    _detectedArea &= cv::Rect(0, 0, frame.cols, frame.rows);
    if (_detectedArea.width <= 0 || _detectedArea.height <= 0) {
        _detectedArea = cv::Rect(0, 0, 0, 0);
        UpdateNoDetectionCondition();
        return results;
    }

    const cv::Mat crop = frame(_detectedArea);  // a view; nothing is copied
    const int originX = _detectedArea.x;
    const int originY = _detectedArea.y;

    std::vector<Object>& candidates = _lists.candidates;
    candidates.clear();
    _detector->RunInference(crop, cameraId.c_str(), candidates);
    if (candidates.empty()) {
        UpdateNoDetectionCondition();
        return results;
    }

    std::vector<Object> persons = RunFilterGetPersons(frame);
    const bool personsPresent = zrv::detector::PersonsPresent(persons, _filter != nullptr);
    const float threshold = _detectionScoreThreshold;

    std::vector<Object>& motion = _lists.motion;
    motion.clear();
    _detector->DetectMovement(crop, cameraId.c_str(), motion);
    std::vector<Object>& motionBoxes = _lists.motionBoxes;
    motionBoxes.clear();
    for (const Object& region : motion) {
        Object moved;
        moved.box = zrv::ShiftBox(region.box, originX, originY);
        motionBoxes.push_back(std::move(moved));
    }

    for (Object& candidate : candidates) {
        candidate.box = zrv::ShiftBox(candidate.box, originX, originY);
        candidate.cameraId = cameraId;

        // Written as "not above" so that a score that is not a number is rejected too.
        const bool rejected = !(candidate.confidence > threshold) ||
                              calculateIoU(_detectedArea, candidate.box) >= kAreaIoURejectFrom ||
                              motionBoxes.empty() ||
                              !IsOverlapping(candidate, motionBoxes, kMotionOverlapThreshold);
        if (rejected) {
            UpdateNoDetectionCondition();
            continue;
        }
        ProcessWeaponDetection(frame, candidate, results, persons, personsPresent);
    }
    zrv::detector::GiveBack(_lists.persons, persons);
    return results;
}
