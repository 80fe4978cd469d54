#include "engine/detector_output.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <sstream>

namespace zrv::engine {

const char* LayoutName(OutputLayout layout) {
    switch (layout) {
        case OutputLayout::AnchorFree: return "[1, 4 + classes, N]";
        case OutputLayout::AnchorFreeTransposed: return "[1, N, 4 + classes]";
        case OutputLayout::Objectness: return "[1, N, 5 + classes]";
        case OutputLayout::EndToEnd: return "[1, K, 6]";
    }
    return "?";
}

std::optional<OutputFormat> IdentifyOutput(const std::vector<int64_t>& shape, int classCount, bool endToEndHead,
                                           std::string& why, int extra) {
    std::ostringstream text;
    text << "[";
    for (size_t i = 0; i < shape.size(); ++i) {
        text << (i ? ", " : "");
        if (shape[i] < 0) text << "?"; else text << shape[i];
    }
    text << "]";
    const std::string expected = " (expected [1, 4 + classes, N], [1, N, 4 + classes], [1, N, 5 + classes] "
                                 "or an end-to-end [1, K, 6])";
    if (shape.size() != 3 || !(shape[0] == 1 || shape[0] == -1) || classCount < 1) {
        why = "output shape " + text.str() + " fits no detector layout" + expected;
        return std::nullopt;
    }
    const int64_t rows = shape[1];
    const int64_t cols = shape[2];
    if (extra > 0) {
        // Keypoints or mask coefficients follow the class scores: only the anchor-free
        // layouts carry them.
        const int64_t values = int64_t{4} + classCount + extra;
        if (rows == values && cols != 0) return OutputFormat{OutputLayout::AnchorFree, classCount, extra};
        if (cols == values && rows != 0) return OutputFormat{OutputLayout::AnchorFreeTransposed, classCount, extra};
        why = "output shape " + text.str() + " does not fit the " + std::to_string(classCount) +
              " classes of the class file and the " + std::to_string(extra) +
              " values that follow them: expected [1, " + std::to_string(values) + ", N] or [1, N, " +
              std::to_string(values) + "]";
        return std::nullopt;
    }
    if (endToEndHead) {
        if (cols == 6) return OutputFormat{OutputLayout::EndToEnd, classCount};
        why = "the graph ends in its own selection (TopK or NonMaxSuppression) but its output " + text.str() +
              " is not [1, K, 6] (x1, y1, x2, y2, score, class)";
        return std::nullopt;
    }
    // 64-bit sums: a class count near the int limit must not wrap into a plausible shape.
    const int64_t boxValues = int64_t{4} + classCount;
    // [1, 4 + C, N] is also [1, N, 4 + C] when N is 4 + C, and [1, N', 5 + C'] with one
    // class fewer when N is 5 + C: the class count of the class file decides the rest, and
    // the anchor-free reading, the common export, wins those ties.
    if (rows == boxValues && cols != 0) return OutputFormat{OutputLayout::AnchorFree, classCount};
    if (cols == boxValues && rows != 0) return OutputFormat{OutputLayout::AnchorFreeTransposed, classCount};
    if (cols == boxValues + 1 && rows != 0) return OutputFormat{OutputLayout::Objectness, classCount};
    why = "output shape " + text.str() + " does not fit the " + std::to_string(classCount) +
          " classes of the class file: expected [1, " + std::to_string(boxValues) + ", N], [1, N, " +
          std::to_string(boxValues) + "] or [1, N, " + std::to_string(boxValues + 1) + "]";
    return std::nullopt;
}

namespace {

// The anchor count of a tensor in `format`, or -1 when its shape does not fit.
int64_t AnchorCount(const std::vector<int64_t>& shape, const OutputFormat& format) {
    if (shape.size() != 3 || shape[0] != 1) return -1;
    const int64_t values = format.layout == OutputLayout::Objectness ? int64_t{5} + format.classes
                           : format.layout == OutputLayout::EndToEnd ? int64_t{6}
                                                                     : int64_t{4} + format.classes + format.extra;
    if (format.layout == OutputLayout::AnchorFree) return shape[1] == values ? shape[2] : -1;
    return shape[2] == values ? shape[1] : -1;
}

}  // namespace

bool DecodeOutput(const OutputTensor& output, const OutputFormat& format, float minScore,
                  std::vector<Candidate>& candidates, DecodeCounts* counts) {
    const int64_t n = AnchorCount(output.shape, format);
    if (n < 0 || (n > 0 && output.data == nullptr)) return false;
    const float* data = output.data;
    int64_t nonFinite = 0, outOfRange = 0;
    float worst = 0.0f;
    // A score reaching the floor but above 1 is a value the class file misdescribes.
    const auto inRange = [&](float score) {
        if (score <= 1.0f + kScoreTolerance) return true;
        ++outOfRange;
        worst = std::max(worst, score);
        return false;
    };
    const auto finiteBox = [](float a, float b, float c, float d) {
        return std::isfinite(a) && std::isfinite(b) && std::isfinite(c) && std::isfinite(d);
    };
    if (format.layout == OutputLayout::EndToEnd) {
        for (int64_t k = 0; k < n; ++k) {
            const float* row = data + k * 6;
            const float score = row[4];
            if (!std::isfinite(score)) {
                ++nonFinite;
                continue;
            }
            if (!(score >= minScore) || !(row[5] >= 0.0f) || !(row[5] < static_cast<float>(format.classes))) {
                continue;
            }
            if (!inRange(score)) continue;
            const int classId = static_cast<int>(std::lround(row[5]));
            if (classId >= format.classes) continue;
            if (!finiteBox(row[0], row[1], row[2], row[3])) {
                ++nonFinite;
                continue;
            }
            candidates.push_back({cv::Rect2f(row[0], row[1], row[2] - row[0], row[3] - row[1]), {}, score, classId});
        }
    } else {
        // Where the values of one anchor lie: in a column of the [4 + C, N] block for the
        // anchor-free layout, in a row for the others.
        const bool columns = format.layout == OutputLayout::AnchorFree;
        const int64_t valueStride = columns ? n : 1;  // from one value of an anchor to the next
        const int64_t anchorStride = columns ? 1
                                             : (format.layout == OutputLayout::Objectness ? 5 : 4) +
                                                   int64_t{format.classes} + format.extra;  // to the next anchor
        const bool hasObjectness = format.layout == OutputLayout::Objectness;
        const int firstClass = hasObjectness ? 5 : 4;
        for (int64_t a = 0; a < n; ++a) {
            const float* values = data + a * anchorStride;
            auto at = [&](int k) { return values[k * valueStride]; };
            const float objectness = hasObjectness ? at(4) : 1.0f;
            // Class scores are probabilities, so an anchor whose objectness is below the floor
            // cannot reach it (the training tools cut on the objectness first too).
            if (!(objectness >= minScore)) {
                nonFinite += !std::isfinite(objectness);
                continue;
            }
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
            if (!(score >= minScore)) {
                nonFinite += !std::isfinite(score);
                continue;
            }
            const float cx = at(0), cy = at(1), w = at(2), h = at(3);
            if (!std::isfinite(score) || !finiteBox(cx, cy, w, h)) {
                ++nonFinite;
                continue;
            }
            if (!inRange(objectness) || !inRange(bestScore)) continue;
            candidates.push_back({cv::Rect2f(cx - w / 2, cy - h / 2, w, h), {}, score, best});
        }
    }
    if (counts) *counts = DecodeCounts{n, nonFinite, outOfRange, worst};
    return true;
}

bool ScoreExtremes(const OutputTensor& output, const OutputFormat& format, float& lowest, float& highest) {
    const int64_t n = AnchorCount(output.shape, format);
    if (n < 0 || (n > 0 && output.data == nullptr)) return false;
    lowest = std::numeric_limits<float>::infinity();
    highest = -lowest;
    const auto see = [&](float v) {
        if (!std::isfinite(v)) return;  // the NaN note says those
        lowest = std::min(lowest, v);
        highest = std::max(highest, v);
    };
    if (format.layout == OutputLayout::EndToEnd) {
        for (int64_t k = 0; k < n; ++k) see(output.data[k * 6 + 4]);
    } else {
        const bool columns = format.layout == OutputLayout::AnchorFree;
        const int64_t values =
            (format.layout == OutputLayout::Objectness ? 5 : 4) + int64_t{format.classes} + format.extra;
        const int first = 4;  // the objectness, where there is one, is a probability too
        const int last = (format.layout == OutputLayout::Objectness ? 5 : 4) + format.classes;
        for (int64_t a = 0; a < n; ++a) {
            for (int k = first; k < last; ++k) see(columns ? output.data[k * n + a] : output.data[a * values + k]);
        }
    }
    return lowest <= highest;
}

namespace {
float IoU(const cv::Rect2f& a, const cv::Rect2f& b) {
    const float inter = (a & b).area();
    const float uni = a.area() + b.area() - inter;
    return uni > 0.0f ? inter / uni : 0.0f;
}
}  // namespace

void SuppressPerClass(const std::vector<Candidate>& candidates, float iouThreshold,
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
            return k.classId == c.classId && IoU(k.input, c.input) > iouThreshold;
        });
        if (!suppressed) kept.push_back(c);
    }
}

void MapToImage(std::vector<Candidate>& candidates, const Letterbox& letterbox) {
    auto out = candidates.begin();
    for (Candidate& c : candidates) {
        const cv::Rect2f& r = c.input;
        const cv::Rect2f exact = letterbox.ToImage(r.x, r.y, r.x + r.width, r.y + r.height);
        // Wholly outside the image (or not a box at all): clipping left nothing of it.
        if (!(exact.x < letterbox.image.width && exact.x + exact.width > 0.0f && exact.y < letterbox.image.height &&
              exact.y + exact.height > 0.0f)) {
            continue;
        }
        c.box = Letterbox::Round(exact);
        // A box thinner than a pixel (or of no width at all in float precision) is still a
        // detection the training tools report: it keeps the pixel its centre lies in.
        if (c.box.width == 0) {
            c.box.x = std::min(static_cast<int>(exact.x + exact.width / 2), letterbox.image.width - 1);
            c.box.width = 1;
        }
        if (c.box.height == 0) {
            c.box.y = std::min(static_cast<int>(exact.y + exact.height / 2), letterbox.image.height - 1);
            c.box.height = 1;
        }
        *out++ = c;
    }
    candidates.erase(out, candidates.end());
}

}  // namespace zrv::engine
