// Person confirmation: a weapon candidate is reported when a person holds it, or, by the
// confirmation counter, when nobody is in view long enough.
#include <algorithm>

#include "detector/ZRVCustomWD.h"
#include "detector/checked_geometry.h"
#include "detector/person_check.h"

namespace {
constexpr int kPersonClassId = 0;
constexpr const char* kPersonCameraId = "cam";
constexpr float kPersonOverlapThreshold = 0.05f;
constexpr int kAcceptWithoutCheckAbove = 10;
constexpr int kAcceptWithoutPersonsAbove = 5;
}  // namespace

std::vector<ZRVCustomWD::Object> ZRVCustomWD::RunFilterGetPersons(const cv::Mat& frame) {
    std::vector<Object> persons = zrv::detector::TakeList(_lists.persons);
    if (!_filter) return persons;
    std::vector<Object>& detections = _lists.filterAnswer;
    detections.clear();
    _filter->RunInference(frame, kPersonCameraId, detections);
    for (Object& detection : detections) {
        if (detection.classId == kPersonClassId) persons.push_back(std::move(detection));
    }
    return persons;
}

namespace zrv::detector {

bool IsHeldByPerson(const ZORAVELIN::Object& weapon, const std::vector<ZORAVELIN::Object>& persons,
                    float threshold) {
    if (weapon.box.width <= 0 || weapon.box.height <= 0) return false;
    const float weaponArea = static_cast<float>(zrv::RectArea(weapon.box));
    for (const ZORAVELIN::Object& person : persons) {
        const float inside = static_cast<float>(zrv::IntersectionArea(weapon.box, person.box));
        if (inside / weaponArea > threshold) return true;
    }
    return false;
}

}  // namespace zrv::detector

bool ZRVCustomWD::ProcessWeaponDetection(const cv::Mat& frame, Object& weapon,
                                         std::vector<Object>& results,
                                         const std::vector<Object>& persons,
                                         bool personsPresent) {
    const int count = _confirmationCount;
    if (count > kAcceptWithoutCheckAbove || !_filter) {
        AddConfirmedWeaponDetection(frame, weapon, results);
        return true;
    }
    if (!personsPresent) {
        _confirmationCount = count + 1;
        if (count + 1 > kAcceptWithoutPersonsAbove) {
            AddConfirmedWeaponDetection(frame, weapon, results);
            return true;
        }
        return false;
    }
    if (!persons.empty() && zrv::detector::IsHeldByPerson(weapon, persons, kPersonOverlapThreshold)) {
        AddConfirmedWeaponDetection(frame, weapon, results);
        _confirmationCount = count + 1;
        return true;
    }
    _confirmationCount = std::max(count - 1, 0);
    return false;
}

void ZRVCustomWD::AddConfirmedWeaponDetection(const cv::Mat& frame, Object& weapon,
                                              std::vector<Object>& results) {
    results.push_back(weapon);
    UpdateActiveROI(frame, weapon);
    _areaActive = true;
    _noDetectionCount = 0;
}
