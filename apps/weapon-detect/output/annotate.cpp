#include "output/annotate.h"

#include <algorithm>
#include <cstdio>

#include <opencv2/imgproc.hpp>

namespace weapon_detect {

void DrawDetection(cv::Mat& frame, const cv::Rect& box, const std::string& label) {
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

void DrawDetections(cv::Mat& frame, const std::vector<CustomObject>& detections) {
    for (const CustomObject& d : detections) {
        char label[128];
        std::snprintf(label, sizeof label, "%s %.2f", d.className.c_str(), static_cast<double>(d.confidence));
        DrawDetection(frame, d.box, label);
    }
}

}  // namespace weapon_detect
