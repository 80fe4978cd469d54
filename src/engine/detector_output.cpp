#include "engine/detector_output.h"

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <sstream>

namespace zrv::engine {

std::optional<OutputFormat> IdentifyOutput(const std::vector<int>& shape, int classCount,
                                           std::string& why) {
    std::ostringstream text;
    text << "[";
    for (size_t i = 0; i < shape.size(); ++i) text << (i ? ", " : "") << shape[i];
    text << "]";
    if (shape.size() != 3 || shape[0] != 1 || classCount < 1) {
        why = "output shape " + text.str() + " is neither [1, 4 + classes, N] nor [1, N, 5 + classes]";
        return std::nullopt;
    }
    // 64-bit sums: a class count near the int limit must not wrap into a plausible shape.
    const int rows = shape[1];
    const int cols = shape[2];
    const int64_t boxValues = int64_t{4} + classCount;
    const bool anchorFree = rows == boxValues && cols > 0;
    const bool objectness = cols == boxValues + 1 && rows > 0;
    // Both can hold only when N is tiny; the anchor dimension is the long one.
    if (anchorFree && (!objectness || cols > rows)) {
        return OutputFormat{OutputLayout::AnchorFree, cols, classCount};
    }
    if (objectness) return OutputFormat{OutputLayout::Objectness, rows, classCount};
    why = "output shape " + text.str() + " does not fit the " + std::to_string(classCount) +
          " classes of the class file: expected [1, " + std::to_string(boxValues) +
          ", N] or [1, N, " + std::to_string(boxValues + 1) + "]";
    return std::nullopt;
}

void DecodeOutput(const cv::Mat& output, const OutputFormat& format, float minScore,
                  const Letterbox& letterbox, std::vector<Candidate>& candidates) {
    const float* data = output.ptr<float>();
    const int n = format.anchors;
    const bool anchorFree = format.layout == OutputLayout::AnchorFree;
    const int stride = anchorFree ? 1 : 5 + format.classes;  // step between an anchor's values
    const int step = anchorFree ? n : 1;                     // step between values of an anchor
    for (int a = 0; a < n; ++a) {
        const float* values = anchorFree ? data + a : data + static_cast<size_t>(a) * stride;
        auto at = [&](int k) { return values[static_cast<size_t>(k) * step]; };
        const int firstClass = anchorFree ? 4 : 5;
        const float objectness = anchorFree ? 1.0f : at(4);
        int best = 0;
        float bestScore = at(firstClass);
        for (int c = 1; c < format.classes; ++c) {
            const float s = at(firstClass + c);
            if (s > bestScore) {
                bestScore = s;
                best = c;
            }
        }
        const float score = objectness * bestScore;
        if (!(score >= minScore)) continue;
        const cv::Rect2f exact = letterbox.ToImageExact(at(0), at(1), at(2), at(3));
        const cv::Rect box = Letterbox::Round(exact);
        if (box.width <= 0 || box.height <= 0) continue;
        candidates.push_back({exact, box, score, best});
    }
}

namespace {
float IoU(const cv::Rect2f& a, const cv::Rect2f& b) {
    const float inter = (a & b).area();
    const float uni = a.area() + b.area() - inter;
    return uni > 0.0f ? inter / uni : 0.0f;
}
}  // namespace

void SuppressPerClass(std::vector<Candidate>& candidates, float iouThreshold,
                      std::vector<int>& order, std::vector<Candidate>& kept) {
    kept.clear();
    order.resize(candidates.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        return candidates[static_cast<size_t>(a)].score > candidates[static_cast<size_t>(b)].score;
    });
    for (int index : order) {
        const Candidate& c = candidates[static_cast<size_t>(index)];
        const bool suppressed = std::any_of(kept.begin(), kept.end(), [&](const Candidate& k) {
            return k.classId == c.classId && IoU(k.exact, c.exact) > iouThreshold;
        });
        if (!suppressed) kept.push_back(c);
    }
}

}  // namespace zrv::engine
