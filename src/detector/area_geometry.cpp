// Placing the held area on a detection, releasing it when detections stop, and
// measuring overlaps.
#include <algorithm>
#include <cstdint>

#include "detector/ZRVCustomWD.h"
#include "detector/checked_geometry.h"
#include "detector/held_area.h"

namespace zrv::detector {

int AreaSide(int rows, int cols) {
    const int longer = std::max(rows, cols);
    int side = 224;
    if (longer > 1920) {
        side = 640;
    } else if (longer > 1280) {
        side = 480;
    } else if (longer > 640) {
        side = 320;
    }
    return std::min(side, std::min(rows, cols));
}

cv::Rect PlaceArea(int rows, int cols, const cv::Rect& box) {
    const int side = AreaSide(rows, cols);
    if (side <= 0) return cv::Rect(0, 0, 0, 0);
    // The corner is formed in 64 bits: the box may hold any 32-bit values.
    const int64_t cx = int64_t{box.x} + box.width / 2 - side / 2;
    const int64_t cy = int64_t{box.y} + box.height / 2 - side / 2;
    const int x = cx > cols - side ? cols - side : (cx < 0 ? 0 : static_cast<int>(cx));
    const int y = cy > rows - side ? rows - side : (cy < 0 ? 0 : static_cast<int>(cy));
    return cv::Rect(x, y, std::min(cols - x, side), std::min(rows - y, side));
}

}  // namespace zrv::detector

// Accepting a weapon and locking on to a search candidate place the area alike; the two
// names are kept because each names its caller's step.
void ZRVCustomWD::UpdateActiveROI(const cv::Mat& frame, Object detection) {
    UpdateDetectedAreaFromObject(frame, detection);
}

void ZRVCustomWD::UpdateDetectedAreaFromObject(const cv::Mat& frame, const Object& detection) {
    _detectedArea = zrv::detector::PlaceArea(frame.rows, frame.cols, detection.box);
}

void ZRVCustomWD::UpdateNoDetectionCondition() {
    _confirmationCount = 0;
    if (_areaActive) {
        ++_noDetectionCount;
        if (_noDetectionCount < zrv::detector::kMissesBeforeRelease) return;
        _areaActive = false;
    }
    _noDetectionCount = 0;
    _detectedArea.width = 0;
    _detectedArea.height = 0;
}

float ZRVCustomWD::calculateIoU(const cv::Rect& a, const cv::Rect& b) { return zrv::IoU(a, b); }

bool ZRVCustomWD::IsOverlapping(const Object& detection, const std::vector<Object>& others,
                                float threshold) {
    for (const Object& other : others) {
        if (calculateIoU(detection.box, other.box) > threshold) return true;
    }
    return false;
}
