// Post-processing of detector outputs, in the order the training tools validate it:
//   1. DecodeOutput: candidates whose score reaches the floor, boxes as corners in
//      network-input pixels, unclipped;
//   2. SuppressPerClass: greedy non-maximum suppression within each class on those boxes;
//   3. MapToImage: the kept boxes through the letterbox into image pixels, clipped, rounded.
// End-to-end outputs come suppressed by the model and skip step 2.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "engine/letterbox.h"

namespace zrv::engine {

enum class OutputLayout {
    AnchorFree,            // [1, 4 + classes, N]: cx, cy, w, h, then one score per class
    AnchorFreeTransposed,  // [1, N, 4 + classes]: the same, one row per anchor
    Objectness,            // [1, N, 5 + classes]: cx, cy, w, h, objectness, then class scores
    EndToEnd,              // [1, K, 6]: x1, y1, x2, y2, score, class, suppressed by the model
};

const char* LayoutName(OutputLayout layout);

struct OutputFormat {
    OutputLayout layout = OutputLayout::AnchorFree;
    int classes = 0;
    // Values per anchor after the class scores that the decode skips: keypoints of a pose
    // export, mask coefficients of a segmentation export (anchor-free layouts only).
    int extra = 0;
};

// Class scores are probabilities: a value beyond [0, 1] by more than this is a misread
// output, not rounding.
constexpr float kScoreTolerance = 0.01f;

// One output as a backend hands it over: float values in row-major order, and the shape of
// this run (an axis the graph leaves open is known only here).
struct OutputTensor {
    const float* data = nullptr;
    std::vector<int64_t> shape;
};

// Decides the layout from the output shape at load (-1 for an axis left open), the class
// count of the class file, and whether the graph ends in its own selection (TopK or
// NonMaxSuppression), which tells [1, K, 6] apart from the other layouts with 1 or 2
// classes. `extra` values follow the class scores of each anchor (then only the anchor-free
// layouts fit). Returns nothing, with the reason in `why`, when no layout fits.
std::optional<OutputFormat> IdentifyOutput(const std::vector<int64_t>& shape, int classCount, bool endToEndHead,
                                           std::string& why, int extra = 0);

struct Candidate {
    cv::Rect2f input;  // network-input pixels, unclipped, as decoded
    cv::Rect box;      // image pixels, clipped and rounded (set by MapToImage)
    float score = 0.0f;
    int classId = 0;
};

// What one decode saw, for the engine's note on a broken export.
struct DecodeCounts {
    int64_t anchors = 0;    // rows of an end-to-end output
    int64_t nonFinite = 0;  // anchors dropped for a score or box that is NaN or infinite
    int64_t outOfRange = 0;   // anchors dropped for a score outside [0, 1] (beyond the tolerance)
    float worstScore = 0.0f;  // the score of those farthest from [0, 1]
};

// The lowest and highest class score (and objectness) over every anchor of `output`, NaN
// and infinities ignored (a broken export, said apart); false when the tensor's shape does not fit `format` or holds no
// finite score.
bool ScoreExtremes(const OutputTensor& output, const OutputFormat& format, float& lowest, float& highest);

// Appends every anchor whose score (the best class score, times the objectness where there
// is one) reaches `minScore`. An anchor whose score reaching the floor lies above 1 (beyond
// kScoreTolerance) is dropped and counted as out of range. An anchor whose score (the objectness, the first class score
// or the product) or, reaching the floor, whose box is NaN or infinite is dropped and
// counted in `counts`, when given. Returns false, appending nothing, when the tensor's shape
// does not fit `format` (a run-time axis that changed).
bool DecodeOutput(const OutputTensor& output, const OutputFormat& format, float minScore,
                  std::vector<Candidate>& candidates, DecodeCounts* counts = nullptr);

// Greedy non-maximum suppression within each class: keeps, best first (ties in decode
// order), the candidates whose intersection over union with every kept one of their class
// is at most `iouThreshold`, measured on the unclipped input boxes. `order` is scratch space
// reused between calls.
void SuppressPerClass(const std::vector<Candidate>& candidates, float iouThreshold,
                      std::vector<int>& order, std::vector<Candidate>& kept);

// Maps each candidate's input box through the letterbox into image pixels (clipped, then
// each edge rounded into `box`, at least one pixel wide and high) and drops those wholly
// outside the image.
void MapToImage(std::vector<Candidate>& candidates, const Letterbox& letterbox);

}  // namespace zrv::engine
