// The masks and zones of one camera applied to its detections (the rules in areas.h), and
// drawn onto its frames.
//
// How the rules are measured:
// - masks: the union of the mask polygons is drawn once per frame size into an 8-bit image
//   by OpenCV's polygon filling, which counts the pixels an edge runs through as inside (the
//   share is exact to a pixel at a mask's edges); a box is masked when at least half of its
//   pixels that lie in the frame are set there;
// - zones: the zone's polygon is clipped to the box (exact, in pixels); the box touches the
//   zone when the clipped part has an area above zero (a shared edge or corner alone is not
//   a touch).
//
// Threads: an AreaRules or an AreaOverlay is used by one thread (the camera's worker). Memory:
// the image and the clipping buffers are kept and reused; a new frame size redraws them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "camera/areas.h"

namespace weapon_detect {

struct AreaVerdict {
    enum class Kind { Alarm, Masked, OutsideRequired } kind = Kind::Alarm;
    uint64_t zones = 0;  // bit k: the box touches areas().zones[k]
};

// The "ignored" mark of a detection in the records: "mask" or "outside required zones".
const char* IgnoredReason(AreaVerdict::Kind kind);

class AreaRules {
public:
    explicit AreaRules(CameraAreas areas);

    // Judges a box of a frame of `frame` pixels.
    AreaVerdict Judge(const cv::Rect& box, cv::Size frame);
    // The share of the box's pixels in the frame that the masks cover, 0 to 1.
    double MaskedShare(const cv::Rect& box, cv::Size frame);
    // The area (pixels) of zone `k` inside the box.
    double ZoneOverlap(size_t k, const cv::Rect& box, cv::Size frame);

    const CameraAreas& areas() const { return areas_; }

private:
    void Prepare(cv::Size frame);

    CameraAreas areas_;
    uint64_t required_ = 0;  // bits of the required zones
    cv::Size size_;
    cv::Mat mask_;                            // CV_8U, 255 inside a mask
    std::vector<cv::Point2d> clipA_, clipB_;  // the clipping's buffers
};

// Masks shaded with grey hatching, zones outlined with their names, for frames of any size.
class AreaOverlay {
public:
    explicit AreaOverlay(CameraAreas areas) : areas_(std::move(areas)) {}
    void Draw(cv::Mat& frame);

private:
    CameraAreas areas_;
    cv::Size size_;
    cv::Mat hatch_;  // CV_8U: the masks' hatching lines
    std::vector<std::vector<cv::Point>> maskLines_, zoneLines_;
};

// Polygon points in pixels of a frame of `frame` pixels, with `shift` fractional bits (as
// OpenCV's drawing functions take them).
std::vector<cv::Point> PixelPolygon(const AreaPolygon& polygon, cv::Size frame, int shift = 0);

}  // namespace weapon_detect
