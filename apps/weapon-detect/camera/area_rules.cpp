#include "camera/area_rules.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace weapon_detect {
namespace {

constexpr int kShift = 8;  // fillPoly's fractional bits: polygons keep sub-pixel corners

// Keeps the part of `in` on the inner side of one edge of the box (Sutherland-Hodgman; the
// subject may be concave, the box is convex, so the area comes out right).
template <typename Inside, typename Cross>
void ClipEdge(const std::vector<cv::Point2d>& in, std::vector<cv::Point2d>& out, Inside inside, Cross cross) {
    out.clear();
    const size_t n = in.size();
    for (size_t i = 0; i < n; ++i) {
        const cv::Point2d& a = in[i];
        const cv::Point2d& b = in[(i + 1) % n];
        const bool ia = inside(a), ib = inside(b);
        if (ia) out.push_back(a);
        if (ia != ib) out.push_back(cross(a, b));
    }
}

double Area(const std::vector<cv::Point2d>& p) {
    double twice = 0.0;
    for (size_t i = 0; i < p.size(); ++i) twice += p[i].cross(p[(i + 1) % p.size()]);
    return std::abs(twice) / 2.0;
}

}  // namespace

const char* IgnoredReason(AreaVerdict::Kind kind) {
    switch (kind) {
        case AreaVerdict::Kind::Masked: return "mask";
        case AreaVerdict::Kind::OutsideRequired: return "outside required zones";
        case AreaVerdict::Kind::Alarm: break;
    }
    return "";
}

std::vector<cv::Point> PixelPolygon(const AreaPolygon& polygon, cv::Size frame, int shift) {
    const double scale = 1 << shift;
    std::vector<cv::Point> points;
    points.reserve(polygon.size());
    for (const AreaPoint& p : polygon) {
        points.emplace_back(static_cast<int>(std::lround(p.x * frame.width * scale)),
                            static_cast<int>(std::lround(p.y * frame.height * scale)));
    }
    return points;
}

AreaRules::AreaRules(CameraAreas areas) : areas_(std::move(areas)) {
    for (size_t k = 0; k < areas_.zones.size(); ++k) {
        if (std::find(areas_.require.begin(), areas_.require.end(), areas_.zones[k].name) != areas_.require.end()) {
            required_ |= uint64_t{1} << k;
        }
    }
    size_t most = 0;
    for (const Zone& z : areas_.zones) most = std::max(most, z.polygon.size());
    // Each of the box's four edges adds at most one point per crossing pair.
    clipA_.reserve(2 * most + 8);
    clipB_.reserve(2 * most + 8);
}

void AreaRules::Prepare(cv::Size frame) {
    if (frame == size_) return;
    size_ = frame;
    if (areas_.masks.empty()) return;
    mask_.create(frame, CV_8U);
    mask_.setTo(0);
    // One polygon at a time: filled together, polygons that overlap would cancel out there.
    for (const AreaPolygon& m : areas_.masks) {
        const std::vector<std::vector<cv::Point>> polygon{PixelPolygon(m, frame, kShift)};
        cv::fillPoly(mask_, polygon, cv::Scalar(255), cv::LINE_8, kShift);
    }
}

double AreaRules::MaskedShare(const cv::Rect& box, cv::Size frame) {
    Prepare(frame);
    const cv::Rect seen = box & cv::Rect(cv::Point(0, 0), frame);
    if (areas_.masks.empty() || seen.area() <= 0) return 0.0;
    return static_cast<double>(cv::countNonZero(mask_(seen))) / seen.area();
}

double AreaRules::ZoneOverlap(size_t k, const cv::Rect& box, cv::Size frame) {
    const double x0 = box.x, y0 = box.y, x1 = box.x + box.width, y1 = box.y + box.height;
    if (box.width <= 0 || box.height <= 0) return 0.0;
    clipA_.clear();
    for (const AreaPoint& p : areas_.zones[k].polygon) clipA_.emplace_back(p.x * frame.width, p.y * frame.height);
    auto atX = [](double x) {
        return [x](const cv::Point2d& a, const cv::Point2d& b) {
            return cv::Point2d(x, a.y + (b.y - a.y) * (x - a.x) / (b.x - a.x));
        };
    };
    auto atY = [](double y) {
        return [y](const cv::Point2d& a, const cv::Point2d& b) {
            return cv::Point2d(a.x + (b.x - a.x) * (y - a.y) / (b.y - a.y), y);
        };
    };
    ClipEdge(
        clipA_, clipB_, [x0](const cv::Point2d& p) { return p.x >= x0; }, atX(x0));
    ClipEdge(
        clipB_, clipA_, [x1](const cv::Point2d& p) { return p.x <= x1; }, atX(x1));
    ClipEdge(
        clipA_, clipB_, [y0](const cv::Point2d& p) { return p.y >= y0; }, atY(y0));
    ClipEdge(
        clipB_, clipA_, [y1](const cv::Point2d& p) { return p.y <= y1; }, atY(y1));
    return clipA_.size() < 3 ? 0.0 : Area(clipA_);
}

AreaVerdict AreaRules::Judge(const cv::Rect& box, cv::Size frame) {
    AreaVerdict verdict;
    for (size_t k = 0; k < areas_.zones.size(); ++k) {
        // A sliver below a millionth of a pixel is rounding, not an overlap.
        if (ZoneOverlap(k, box, frame) > 1e-6) verdict.zones |= uint64_t{1} << k;
    }
    if (MaskedShare(box, frame) >= 0.5) {
        verdict.kind = AreaVerdict::Kind::Masked;
    } else if (required_ != 0 && (verdict.zones & required_) == 0) {
        verdict.kind = AreaVerdict::Kind::OutsideRequired;
    }
    return verdict;
}

void AreaOverlay::Draw(cv::Mat& frame) {
    if (areas_.empty() || frame.empty()) return;
    if (frame.size() != size_) {
        size_ = frame.size();
        maskLines_.clear();
        zoneLines_.clear();
        for (const AreaPolygon& m : areas_.masks) maskLines_.push_back(PixelPolygon(m, size_));
        for (const Zone& z : areas_.zones) zoneLines_.push_back(PixelPolygon(z.polygon, size_));
        hatch_.release();
        if (!maskLines_.empty()) {
            // Diagonal lines, kept only inside the masks.
            cv::Mat inside = cv::Mat::zeros(size_, CV_8U);
            for (const auto& polygon : maskLines_)
                cv::fillPoly(inside, std::vector<std::vector<cv::Point>>{polygon}, cv::Scalar(255));
            hatch_ = cv::Mat::zeros(size_, CV_8U);
            const int step = std::max(8, size_.width / 60);
            const int thickness = std::max(1, size_.width / 640);
            for (int x = -size_.height; x < size_.width; x += step) {
                cv::line(hatch_, {x, size_.height}, {x + size_.height, 0}, cv::Scalar(255), thickness);
            }
            hatch_ &= inside;
        }
    }
    const cv::Scalar grey(128, 128, 128), zoneColour(0, 200, 255);
    const int thickness = std::max(1, frame.cols / 640);
    if (!hatch_.empty()) {
        frame.setTo(grey, hatch_);
        cv::polylines(frame, maskLines_, true, grey, thickness);
    }
    const double scale = std::max(0.4, frame.cols / 2000.0);
    for (size_t k = 0; k < zoneLines_.size(); ++k) {
        cv::polylines(frame, zoneLines_[k], true, zoneColour, thickness + 1);
        const cv::Rect bounds = cv::boundingRect(zoneLines_[k]);
        const cv::Point at(std::max(2, bounds.x + 4), std::min(frame.rows - 4, std::max(14, bounds.y + 16)));
        cv::putText(frame, areas_.zones[k].name, at, cv::FONT_HERSHEY_SIMPLEX, scale, zoneColour, thickness);
    }
}

}  // namespace weapon_detect
