// Integer geometry on untrusted engine boxes. Sums and products that could leave the
// 32-bit range are formed in 64 bits (or exactly in double) and brought back into range,
// so that every result is defined; where nothing overflows they equal the plain 32-bit
// results.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>

#include <opencv2/core.hpp>

namespace zrv {

inline int SaturateToInt(int64_t value) {
    return static_cast<int>(std::clamp<int64_t>(value, std::numeric_limits<int>::min(),
                                                std::numeric_limits<int>::max()));
}

// Moves a box from the coordinates of a region into those of the frame.
inline cv::Rect ShiftBox(const cv::Rect& box, int originX, int originY) {
    return {SaturateToInt(int64_t{box.x} + originX), SaturateToInt(int64_t{box.y} + originY),
            box.width, box.height};
}

// Area of the intersection of two rectangles, 0 when they share no positive area.
// Exact whenever it is below 2^53.
inline double IntersectionArea(const cv::Rect& a, const cv::Rect& b) {
    const int64_t iw = std::min(int64_t{a.x} + a.width, int64_t{b.x} + b.width) -
                       std::max<int64_t>(a.x, b.x);
    const int64_t ih = std::min(int64_t{a.y} + a.height, int64_t{b.y} + b.height) -
                       std::max<int64_t>(a.y, b.y);
    if (iw <= 0 || ih <= 0) return 0.0;
    return static_cast<double>(iw) * static_cast<double>(ih);
}

inline double RectArea(const cv::Rect& r) {
    return static_cast<double>(r.width) * static_cast<double>(r.height);
}

// Intersection over union of two rectangles; 0 when their union has no area.
inline float IoU(const cv::Rect& a, const cv::Rect& b) {
    const double inter = IntersectionArea(a, b);
    const double unionArea = RectArea(a) + RectArea(b) - inter;
    if (unionArea <= 0.0) return 0.0f;
    return static_cast<float>(inter) / static_cast<float>(unionArea);
}

}  // namespace zrv
