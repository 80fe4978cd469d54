// Drawing of detections onto frames for the annotated video and the event snapshots.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "zrv/ZRVCustomClass.h"

namespace weapon_detect {

// Boxes are in the pixels of a frame of `from` pixels and drawn scaled to `frame` (the same
// size when `from` is empty).

// Draws each box with its class name and confidence.
void DrawDetections(cv::Mat& frame, const std::vector<CustomObject>& detections, cv::Size from = {});
void DrawDetection(cv::Mat& frame, const CustomObject& detection, cv::Size from = {});
// Detections that raise no alarm (a mask, outside the required zones): grey dashed boxes,
// labelled with the reason (`reasons` in the same order).
void DrawIgnored(cv::Mat& frame, const std::vector<CustomObject>& ignored, const std::vector<const char*>& reasons,
                 cv::Size from = {});

}  // namespace weapon_detect
