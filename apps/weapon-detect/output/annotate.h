// Drawing of detections onto frames for the annotated video and the event snapshots.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "zrv/ZRVCustomClass.h"

namespace weapon_detect {

// Draws each box with its class name and confidence.
void DrawDetections(cv::Mat& frame, const std::vector<CustomObject>& detections);
void DrawDetection(cv::Mat& frame, const cv::Rect& box, const std::string& label);
// Detections that raise no alarm (a mask, outside the required zones): grey dashed boxes,
// labelled with the reason (`reasons` in the same order).
void DrawIgnored(cv::Mat& frame, const std::vector<CustomObject>& ignored, const std::vector<const char*>& reasons);
void DrawIgnoredDetection(cv::Mat& frame, const cv::Rect& box, const std::string& label);

}  // namespace weapon_detect
