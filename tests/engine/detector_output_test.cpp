// Output layouts, decoding, suppression on the network's own boxes, and mapping back
// through the letterbox.
#include <gtest/gtest.h>

#include <limits>

#include "engine/detector_output.h"

using namespace zrv::engine;

TEST(DetectorOutputTest, LayoutIsToldApartByTheClassCountAndTheHead) {
    const struct {
        std::vector<int64_t> shape;
        int classes;
        bool endToEndHead;
        bool ok;
        OutputLayout layout;
    } cases[] = {
        {{1, 5, 8400}, 1, false, true, OutputLayout::AnchorFree},
        {{1, 84, 8400}, 80, false, true, OutputLayout::AnchorFree},
        {{1, 8400, 84}, 80, false, true, OutputLayout::AnchorFreeTransposed},
        {{1, 8400, 5}, 1, false, true, OutputLayout::AnchorFreeTransposed},
        {{1, 8400, 6}, 1, false, true, OutputLayout::Objectness},  // one class, objectness
        {{1, 25200, 85}, 80, false, true, OutputLayout::Objectness},
        {{1, 1004, 8400}, 1000, false, true, OutputLayout::AnchorFree},
        {{1, 6, 6}, 2, false, true, OutputLayout::AnchorFree},  // N = 4 + C: the common export wins
        {{1, 6, 7}, 2, false, true, OutputLayout::AnchorFree},  // also [1, N, 5 + 1]: the class file says 2
        {{-1, 5, -1}, 1, false, true, OutputLayout::AnchorFree},  // batch and anchors open
        {{-1, -1, 85}, 80, false, true, OutputLayout::Objectness},
        {{1, 300, 6}, 1, true, true, OutputLayout::EndToEnd},  // would be objectness without the head
        {{1, 100, 6}, 2, true, true, OutputLayout::EndToEnd},  // would be transposed anchor-free
        {{1, -1, 6}, 80, true, true, OutputLayout::EndToEnd},
        {{1, 300, 7}, 1, true, false, {}},  // a selecting head must give six values per row
        {{1, 6, 8400}, 1, false, false, {}},
        {{1, 8400, 6}, 3, false, false, {}},
        {{1, 5, 20, 20}, 1, false, false, {}},
        {{2, 5, 8400}, 1, false, false, {}},
        {{}, 1, false, false, {}},  // rank unknown
        // Class counts at the int limit must not wrap round to a shape that fits.
        {{1, -2147483645, 3}, 2147483647, false, false, {}},
        {{1, 3, -2147483644}, 2147483647, false, false, {}},
    };
    for (const auto& c : cases) {
        std::string why;
        const auto format = IdentifyOutput(c.shape, c.classes, c.endToEndHead, why);
        ASSERT_EQ(format.has_value(), c.ok) << ::testing::PrintToString(c.shape) << ": " << why;
        if (c.ok) {
            EXPECT_EQ(format->layout, c.layout) << ::testing::PrintToString(c.shape);
        } else {
            EXPECT_FALSE(why.empty());
            EXPECT_EQ(why.find('\n'), std::string::npos);
        }
    }
}

namespace {
// Three anchors in every raw layout: a box at (100, 200) 40 x 20 in the input, a weak one,
// and one whose centre lies beyond the image. Values per anchor: cx, cy, w, h, class 0, class 1.
constexpr float kAnchors[3][6] = {{120, 210, 40, 20, 0.9f, 0.2f},
                                  {300, 300, 10, 10, 0.1f, 0.15f},
                                  {630, 170, 40, 20, 0.3f, 0.8f}};

std::vector<float> Tensor(OutputLayout layout) {
    std::vector<float> values;
    if (layout == OutputLayout::AnchorFree) {
        for (int k = 0; k < 6; ++k) {
            for (const auto& anchor : kAnchors) values.push_back(anchor[k]);
        }
        return values;
    }
    for (const auto& anchor : kAnchors) {
        values.insert(values.end(), anchor, anchor + 4);
        if (layout == OutputLayout::Objectness) values.push_back(1.0f);
        values.insert(values.end(), anchor + 4, anchor + 6);
    }
    return values;
}
}  // namespace

TEST(DetectorOutputTest, DecodesEveryRawLayoutThroughTheLetterbox) {
    // A 1280 x 640 image letterboxed into 640: scale 0.5, 160 pixels of padding on top.
    Letterbox lb;
    lb.scale = 0.5f;
    lb.padY = 160;
    lb.image = {1280, 640};
    const struct {
        OutputLayout layout;
        std::vector<int64_t> shape;
    } layouts[] = {{OutputLayout::AnchorFree, {1, 6, 3}},
                   {OutputLayout::AnchorFreeTransposed, {1, 3, 6}},
                   {OutputLayout::Objectness, {1, 3, 7}}};
    for (const auto& l : layouts) {
        SCOPED_TRACE(static_cast<int>(l.layout));
        const std::vector<float> values = Tensor(l.layout);
        std::vector<Candidate> candidates;
        ASSERT_TRUE(DecodeOutput({values.data(), l.shape}, OutputFormat{l.layout, 2}, 0.25f, candidates));
        ASSERT_EQ(candidates.size(), 2u);
        EXPECT_EQ(candidates[0].input, cv::Rect2f(100, 200, 40, 20)) << "input pixels, as decoded";
        EXPECT_EQ(candidates[1].classId, 1);
        EXPECT_FLOAT_EQ(candidates[1].score, 0.8f);
        MapToImage(candidates, lb);
        ASSERT_EQ(candidates.size(), 2u);
        EXPECT_EQ(candidates[0].box, cv::Rect(200, 80, 80, 40));
        EXPECT_EQ(candidates[1].box, cv::Rect(1220, 0, 60, 40)) << "clipped at the image's edges";
    }
    // A tensor whose run-time shape does not fit the format decodes to nothing.
    const std::vector<float> values = Tensor(OutputLayout::Objectness);
    std::vector<Candidate> candidates;
    EXPECT_FALSE(DecodeOutput({values.data(), {1, 3, 7}}, OutputFormat{OutputLayout::AnchorFree, 2}, 0.25f, candidates));
    EXPECT_TRUE(candidates.empty());
}

TEST(DetectorOutputTest, EndToEndRowsAreTakenAsTheyComeAboveTheFloor) {
    const std::vector<float> rows = {
        10, 20, 50, 60, 0.9f, 1,       // kept
        10, 20, 50, 60, 0.8f, 1,       // same box, same class: the model already chose
        0, 0, 0, 0, 0.0f, 0,           // padding
        5, 5, 15, 15, 0.7f, 7,         // class beyond the class file: dropped
        5, 5, 15, 15, NAN, 0,          // not a score: dropped
    };
    std::vector<Candidate> candidates;
    DecodeCounts counts;
    ASSERT_TRUE(
        DecodeOutput({rows.data(), {1, 5, 6}}, OutputFormat{OutputLayout::EndToEnd, 2}, 0.25f, candidates, &counts));
    ASSERT_EQ(candidates.size(), 2u);
    EXPECT_EQ(candidates[0].input, cv::Rect2f(10, 20, 40, 40));
    EXPECT_EQ(candidates[1].classId, 1);
    EXPECT_EQ(counts.anchors, 5);
    EXPECT_EQ(counts.nonFinite, 1);
}

// NaN or infinity where a score or a box should be is never a candidate (an infinite score
// would pass any threshold), and is counted, so that the engine can say so.
TEST(DetectorOutputTest, ValuesThatAreNotFiniteAreDroppedAndCounted) {
    const float inf = std::numeric_limits<float>::infinity();
    // [1, N, 5 + 1]: cx, cy, w, h, objectness, class score; one anchor per row.
    const std::vector<float> rows = {
        100, 100, 20,  10, 0.9f, 0.9f,  // kept
        100, 100, 20,  10, NAN,  0.9f,  // objectness not a number
        100, 100, 20,  10, 0.9f, NAN,   // class score not a number
        100, 100, 20,  10, 0.9f, inf,   // an infinite score
        NAN, 100, 20,  10, 0.9f, 0.9f,  // a box that is not a number
        100, 100, inf, 10, 0.9f, 0.9f,  // an infinite box
        100, 100, 20,  10, 0.1f, 0.9f,  // below the floor: dropped, not counted
    };
    std::vector<Candidate> candidates;
    DecodeCounts counts;
    ASSERT_TRUE(
        DecodeOutput({rows.data(), {1, 7, 6}}, OutputFormat{OutputLayout::Objectness, 1}, 0.25f, candidates, &counts));
    ASSERT_EQ(candidates.size(), 1u);
    EXPECT_FLOAT_EQ(candidates[0].score, 0.81f);
    EXPECT_EQ(counts.anchors, 7);
    EXPECT_EQ(counts.nonFinite, 5);
}

Candidate At(cv::Rect2f box, float score, int classId) { return {box, {}, score, classId}; }

TEST(DetectorOutputTest, SuppressionIsPerClassAndBestFirst) {
    const std::vector<Candidate> candidates = {
        At({0, 0, 100, 100}, 0.6f, 0),
        At({5, 5, 100, 100}, 0.9f, 0),  // same class, overlapping: keeps the better
        At({5, 5, 100, 100}, 0.7f, 1),  // other class: kept
        At({300, 0, 50, 50}, 0.5f, 0),  // elsewhere: kept
    };
    std::vector<int> order;
    std::vector<Candidate> kept;
    SuppressPerClass(candidates, 0.5f, order, kept);
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_FLOAT_EQ(kept[0].score, 0.9f);
    EXPECT_EQ(kept[1].classId, 1);
    EXPECT_EQ(kept[2].input, cv::Rect2f(300, 0, 50, 50));
}

TEST(DetectorOutputTest, SuppressionSeesTheUnclippedBoxesThenTheyAreClipped) {
    // Two boxes reaching past the left edge of a 640 x 640 image (no letterbox): unclipped
    // they overlap with IoU 0.45 and both stay; clipped first they would be one box and one
    // would go.
    Letterbox lb;
    lb.image = {640, 640};
    const std::vector<Candidate> candidates = {At({-60, 0, 100, 100}, 0.9f, 0), At({-5, 0, 45, 100}, 0.8f, 0)};
    std::vector<int> order;
    std::vector<Candidate> kept;
    SuppressPerClass(candidates, 0.5f, order, kept);
    ASSERT_EQ(kept.size(), 2u);
    MapToImage(kept, lb);
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0].box, cv::Rect(0, 0, 40, 100));
    EXPECT_EQ(kept[1].box, cv::Rect(0, 0, 40, 100));
    // A box wholly outside the image is dropped only after it had its say in suppression.
    std::vector<Candidate> outside = {At({-200, 0, 100, 100}, 0.9f, 0)};
    MapToImage(outside, lb);
    EXPECT_TRUE(outside.empty());
}
