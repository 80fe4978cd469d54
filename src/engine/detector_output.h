// Post-processing of detector outputs: telling the output layout apart at load time,
// decoding candidates and per-class non-maximum suppression.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "engine/letterbox.h"

namespace zrv::engine {

enum class OutputLayout {
    AnchorFree,  // [1, 4 + classes, N]: cx, cy, w, h, then one score per class
    Objectness,  // [1, N, 5 + classes]: cx, cy, w, h, objectness, then class scores
};

struct OutputFormat {
    OutputLayout layout;
    int anchors = 0;
    int classes = 0;
};

// Decides the layout from the output shape and the class count of the class file.
// Returns nothing, with the reason in `why`, when the shape fits neither layout.
std::optional<OutputFormat> IdentifyOutput(const std::vector<int>& shape, int classCount,
                                           std::string& why);

struct Candidate {
    cv::Rect2f exact;  // image pixels, clipped to the image, as decoded
    cv::Rect box;      // the same rounded to whole pixels
    float score = 0.0f;
    int classId = 0;
};

// Appends every anchor whose best class score reaches `minScore`, with its box mapped
// through the letterbox back into image pixels. Boxes left empty by clipping are dropped.
void DecodeOutput(const cv::Mat& output, const OutputFormat& format, float minScore,
                  const Letterbox& letterbox, std::vector<Candidate>& candidates);

// Greedy non-maximum suppression within each class: keeps, best first, the candidates
// whose intersection over union with every kept one of their class is at most
// `iouThreshold`, measured on the exact boxes (rounding would decide for small boxes). `order` is scratch space reused between calls.
void SuppressPerClass(std::vector<Candidate>& candidates, float iouThreshold,
                      std::vector<int>& order, std::vector<Candidate>& kept);

}  // namespace zrv::engine
