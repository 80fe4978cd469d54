#include "output/annotate.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <opencv2/imgproc.hpp>

namespace weapon_detect {
namespace {

// A box of a frame of `from` pixels in the pixels of `to`, at least one pixel wide and high.
cv::Rect Scaled(const cv::Rect& box, cv::Size from, cv::Size to) {
    if (from.empty() || from == to) return box;
    const double sx = static_cast<double>(to.width) / from.width, sy = static_cast<double>(to.height) / from.height;
    return {static_cast<int>(box.x * sx), static_cast<int>(box.y * sy), std::max(1, static_cast<int>(box.width * sx)),
            std::max(1, static_cast<int>(box.height * sy))};
}

// "handgun 0.87", and why it raised no alarm when it did not: "handgun 0.87 (mask)".
struct Label {
    explicit Label(const CustomObject& d, const char* reason = nullptr) {
        if (reason) {
            std::snprintf(text, sizeof text, "%s %.2f (%s)", d.className.c_str(), static_cast<double>(d.confidence),
                          reason);
        } else {
            std::snprintf(text, sizeof text, "%s %.2f", d.className.c_str(), static_cast<double>(d.confidence));
        }
    }
    char text[160];
};

void DrawBox(cv::Mat& frame, const cv::Rect& box, const char* label) {
    const cv::Scalar red(0, 0, 255);
    const int thickness = std::max(2, frame.cols / 640);
    const cv::Rect outer = box + cv::Size(8, 8) - cv::Point(4, 4);  // clear of small objects
    cv::rectangle(frame, outer, red, thickness);
    const double scale = std::max(0.6, frame.cols / 1600.0);
    int baseline = 0;
    const cv::Size text = cv::getTextSize(label, cv::FONT_HERSHEY_SIMPLEX, scale, thickness, &baseline);
    const cv::Point origin(outer.x, std::max(text.height + 4, outer.y - 6));
    cv::rectangle(frame, cv::Rect(origin.x, origin.y - text.height - 4, text.width + 4, text.height + 8),
                  red, cv::FILLED);
    cv::putText(frame, label, origin + cv::Point(2, 0), cv::FONT_HERSHEY_SIMPLEX, scale,
                cv::Scalar(255, 255, 255), thickness);
}

void DrawIgnoredBox(cv::Mat& frame, const cv::Rect& box, const char* label) {
    const cv::Scalar grey(200, 200, 200);
    const int thickness = std::max(1, frame.cols / 960);
    const cv::Rect r = box + cv::Size(8, 8) - cv::Point(4, 4);
    const int dash = std::max(6, frame.cols / 160);
    // Dashes along each side: a look no alarm box has.
    auto dashed = [&](cv::Point a, cv::Point b) {
        const double length = std::hypot(b.x - a.x, b.y - a.y);
        for (double s = 0; s < length; s += 2 * dash) {
            const double e = std::min(length, s + dash);
            cv::line(frame, a + (b - a) * (s / length), a + (b - a) * (e / length), grey, thickness);
        }
    };
    const cv::Point tl = r.tl(), br = r.br(), tr(br.x, tl.y), bl(tl.x, br.y);
    dashed(tl, tr);
    dashed(tr, br);
    dashed(br, bl);
    dashed(bl, tl);
    const double scale = std::max(0.45, frame.cols / 2000.0);
    cv::putText(frame, label, cv::Point(r.x, std::max(12, r.y - 4)), cv::FONT_HERSHEY_SIMPLEX, scale, grey, thickness);
}

}  // namespace

void DrawDetection(cv::Mat& frame, const CustomObject& detection, cv::Size from) {
    DrawBox(frame, Scaled(detection.box, from, frame.size()), Label(detection).text);
}

void DrawDetections(cv::Mat& frame, const std::vector<CustomObject>& detections, cv::Size from) {
    for (const CustomObject& d : detections) DrawDetection(frame, d, from);
}

void DrawIgnored(cv::Mat& frame, const std::vector<CustomObject>& ignored, const std::vector<const char*>& reasons,
                 cv::Size from) {
    for (size_t i = 0; i < ignored.size(); ++i) {
        const Label label(ignored[i], i < reasons.size() ? reasons[i] : "ignored");
        DrawIgnoredBox(frame, Scaled(ignored[i].box, from, frame.size()), label.text);
    }
}

}  // namespace weapon_detect
