// The weapon detector behind the host interface. One object holds the whole state of
// one camera stream: two engine instances (weapon model, person model), the held area
// and the counters that carry from frame to frame.
//
// Locking: every operation that reads or writes frame-analysis state runs under `_mutex`.
// The public operations take it; the private ones expect it held. Nothing in the detector
// locks it twice; it is recursive for hosts, so that a call made on the thread that already
// holds it goes through instead of deadlocking. The case that arises is a console sink
// (SetConsoleSink): it runs on the printing thread at the end of Initialize, OptimizeModel
// or a frame call, still under the lock, and may call back into the detector. The lines
// printed during such a call are held until then (ConsoleHold), so that a call back never
// finds the detector halfway through one.
// Coordinates: `_detectedArea` and every Object handed between the private operations
// are in full-frame pixels unless a comment says otherwise.
#pragma once

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "zrv/ZRVCustomClass.h"
#include "zrv/ZRVLIB.h"
#include "detector/kept_lists.h"

class ZRVCustomWDTestAccess;

class ZRV_API ZRVCustomWD final : public IZRVCustomClass {
public:
    using Object = ZORAVELIN::Object;

    struct ImageSection {
        cv::Rect region;   // full-frame pixels
        int priority = 0;  // 1 is nearest the frame centre
    };

    ZRVCustomWD();
    ~ZRVCustomWD();
    ZRVCustomWD(const ZRVCustomWD&) = delete;
    ZRVCustomWD& operator=(const ZRVCustomWD&) = delete;

    bool Initialize(const std::string& modelDirectory, float detectionScoreThreshold,
                    std::string& labelMap) override;
    bool OptimizeModel(bool flag) override;
    std::vector<CustomObject> RunInference(const cv::Mat& frame,
                                           const std::string& cameraId) override;
    std::vector<CustomObject> RunInference(const cv::Mat& frame) override;
    bool ConfigureParameters(CustomParams& params) override;
    bool Destroy() override;

private:
    friend class ZRVCustomWDTestAccess;

    using EngineHandle = ZORAVELIN::ZRVLIBHandle;

    // Releases both engines; expects `_mutex` held.
    void ReleaseEngines();

    // Scan sections (sections.cpp).
    std::vector<ImageSection> divideImage(const cv::Mat& frame);
    void refreshSections(const cv::Mat& frame);  // divideImage without the copy
    double calculateDistanceToCenter(const cv::Point& point, const cv::Rect& rect);
    int getHighestPriorityRegion();
    int getLowestPriorityRegion();
    cv::Rect getRegionByPriority(int priority);

    // Area geometry and decay (area_geometry.cpp).
    void UpdateActiveROI(const cv::Mat& frame, Object detection);
    void UpdateDetectedAreaFromObject(const cv::Mat& frame, const Object& detection);
    void UpdateNoDetectionCondition();
    float calculateIoU(const cv::Rect& a, const cv::Rect& b);
    bool IsOverlapping(const Object& detection, const std::vector<Object>& others,
                       float threshold);

    // Person confirmation (confirmation.cpp).
    std::vector<Object> RunFilterGetPersons(const cv::Mat& frame);
    bool ProcessWeaponDetection(const cv::Mat& frame, Object& weapon,
                                std::vector<Object>& results, const std::vector<Object>& persons,
                                bool personsPresent);
    void AddConfirmedWeaponDetection(const cv::Mat& frame, Object& weapon,
                                     std::vector<Object>& results);

    // Frames the detector cannot analyse as they come (frame_notes.cpp): says so once per
    // camera and kind on the error stream. Returns whether the frame can be analysed.
    bool CheckFrame(const cv::Mat& frame, const std::string& cameraId);
    void NoteOnce(const std::string& cameraId, const std::string& what);

    // Search (search.cpp) and tracking (tracking.cpp).
    void ProcessNewDetectedArea(const cv::Mat& frame, const std::string& cameraId,
                                std::vector<Object>& results);
    std::vector<Object> ProcessExistingDetectedArea(const cv::Mat& frame,
                                                    const std::string& cameraId);

    EngineHandle _detector;
    EngineHandle _filter;
    int _engineType = 0;
    std::string _detectorModelName;
    std::string _detectorClassFile;
    int _detectorModelType = 0;
    int _detectorDetectionType = 0;
    std::string _filterModelName;
    std::string _filterClassFile;
    std::string _filterLabelMap;
    int _filterModelType = 0;
    int _filterDetectionType = 0;
    std::recursive_mutex _mutex;
    cv::Rect _detectedArea{0, 0, 0, 0};
    int _noDetectionCount = 0;
    bool _areaActive = false;
    float _detectionScoreThreshold = 0.5f;
    int _lastImageWidth = 0;
    int _lastImageHeight = 0;
    std::vector<ImageSection> _imageSections;
    int _currentPriority = 0;
    int _confirmationCount = 0;
    // Camera and kind of every note given (bounded: past kMaxNotes, no more notes).
    std::set<std::string> _notes;
    static constexpr size_t kMaxNotes = 64;

    // Lists kept from frame to frame so that a frame allocates nothing beyond the list it
    // returns.
    zrv::detector::FrameLists _lists;
};
