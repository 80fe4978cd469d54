// The one friend of ZRVCustomWD: lets tests read and set the detector's private state
// and call its private operations.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "detector/ZRVCustomWD.h"
#include "detector/person_check.h"

class ZRVCustomWDTestAccess {
public:
    using Object = ZRVCustomWD::Object;
    using Section = ZRVCustomWD::ImageSection;

    explicit ZRVCustomWDTestAccess(ZRVCustomWD& detector) : d(detector) {}

    // State.
    ZORAVELIN::ZRVLIB* detector() { return d._detector.get(); }
    ZORAVELIN::ZRVLIB* filter() { return d._filter.get(); }
    void dropFilter() { d._filter.reset(); }
    int& engineType() { return d._engineType; }
    std::string& detectorModelName() { return d._detectorModelName; }
    std::string& detectorClassFile() { return d._detectorClassFile; }
    int& detectorModelType() { return d._detectorModelType; }
    int& detectorDetectionType() { return d._detectorDetectionType; }
    std::string& filterModelName() { return d._filterModelName; }
    std::string& filterClassFile() { return d._filterClassFile; }
    std::string& filterLabelMap() { return d._filterLabelMap; }
    int& filterModelType() { return d._filterModelType; }
    int& filterDetectionType() { return d._filterDetectionType; }
    std::recursive_mutex& mutex() { return d._mutex; }
    cv::Rect& area() { return d._detectedArea; }
    int& noDetectionCount() { return d._noDetectionCount; }
    bool& areaActive() { return d._areaActive; }
    float& threshold() { return d._detectionScoreThreshold; }
    int& lastImageWidth() { return d._lastImageWidth; }
    int& lastImageHeight() { return d._lastImageHeight; }
    std::vector<Section>& sections() { return d._imageSections; }
    int& currentPriority() { return d._currentPriority; }
    int& confirmationCount() { return d._confirmationCount; }
    std::string& modelDirectory() { return d._modelDirectory; }
    float& baseValue() { return d._baseValue; }
    CustomParams& params() { return d._params; }
    bool& loadEngineOnCreate() { return d._loadEngineOnCreate; }

    // Operations.
    std::vector<Section> divideImage(const cv::Mat& frame) { return d.divideImage(frame); }
    double distanceToCenter(cv::Point p, cv::Rect r) { return d.calculateDistanceToCenter(p, r); }
    int highestPriority() { return d.getHighestPriorityRegion(); }
    int lowestPriority() { return d.getLowestPriorityRegion(); }
    cv::Rect regionByPriority(int priority) { return d.getRegionByPriority(priority); }
    void updateActiveROI(const cv::Mat& frame, const Object& o) { d.UpdateActiveROI(frame, o); }
    void updateAreaFromObject(const cv::Mat& frame, const Object& o) {
        d.UpdateDetectedAreaFromObject(frame, o);
    }
    void noDetection() { d.UpdateNoDetectionCondition(); }
    float iou(cv::Rect a, cv::Rect b) { return d.calculateIoU(a, b); }
    bool isOverlapping(const Object& o, const std::vector<Object>& others, float t) {
        return d.IsOverlapping(o, others, t);
    }
    std::vector<Object> persons(const cv::Mat& frame) { return d.RunFilterGetPersons(frame); }
    bool heldByPerson(const Object& weapon, const std::vector<Object>& persons, float threshold) {
        return zrv::detector::IsHeldByPerson(weapon, persons, threshold);
    }
    bool confirm(const cv::Mat& frame, Object& weapon, std::vector<Object>& results,
                 const std::vector<Object>& persons, bool personsPresent) {
        return d.ProcessWeaponDetection(frame, weapon, results, persons, personsPresent);
    }
    void search(const cv::Mat& frame, const std::string& cam, std::vector<Object>& results) {
        d.ProcessNewDetectedArea(frame, cam, results);
    }
    std::vector<Object> track(const cv::Mat& frame, const std::string& cam) {
        return d.ProcessExistingDetectedArea(frame, cam);
    }

private:
    ZRVCustomWD& d;
};

// Checks every member against its value after construction (gtest assertions).
inline void ExpectConstructedState(ZRVCustomWDTestAccess& a) {
    EXPECT_EQ(a.detector(), nullptr);
    EXPECT_EQ(a.filter(), nullptr);
    EXPECT_EQ(a.engineType(), 0);
    EXPECT_EQ(a.detectorModelName(), "");
    EXPECT_EQ(a.detectorClassFile(), "");
    EXPECT_EQ(a.detectorModelType(), 0);
    EXPECT_EQ(a.detectorDetectionType(), 0);
    EXPECT_EQ(a.filterModelName(), "");
    EXPECT_EQ(a.filterClassFile(), "");
    EXPECT_EQ(a.filterLabelMap(), "");
    EXPECT_EQ(a.filterModelType(), 0);
    EXPECT_EQ(a.filterDetectionType(), 0);
    EXPECT_EQ(a.area(), cv::Rect(0, 0, 0, 0));
    EXPECT_EQ(a.noDetectionCount(), 0);
    EXPECT_FALSE(a.areaActive());
    EXPECT_FLOAT_EQ(a.threshold(), 0.5f);
    EXPECT_EQ(a.lastImageWidth(), 0);
    EXPECT_EQ(a.lastImageHeight(), 0);
    EXPECT_TRUE(a.sections().empty());
    EXPECT_EQ(a.currentPriority(), 0);
    EXPECT_EQ(a.confirmationCount(), 0);
    EXPECT_EQ(a.modelDirectory(), "");
    EXPECT_FLOAT_EQ(a.baseValue(), 0.5f);
    EXPECT_FALSE(a.loadEngineOnCreate());
    const CustomParams& p = a.params();
    EXPECT_TRUE(p.listA.empty() && p.listB.empty() && p.listC.empty() && p.listD.empty());
}
