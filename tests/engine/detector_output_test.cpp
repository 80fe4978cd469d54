// Output layouts, decoding through the letterbox, and suppression.
#include <gtest/gtest.h>

#include "engine/detector_output.h"

using namespace zrv::engine;

TEST(DetectorOutputTest, LayoutIsToldApartByTheClassCount) {
    const struct {
        std::vector<int> shape;
        int classes;
        bool ok;
        OutputLayout layout;
        int anchors;
    } cases[] = {
        {{1, 5, 8400}, 1, true, OutputLayout::AnchorFree, 8400},
        {{1, 84, 8400}, 80, true, OutputLayout::AnchorFree, 8400},
        {{1, 8400, 6}, 1, true, OutputLayout::Objectness, 8400},  // one class, objectness
        {{1, 25200, 85}, 80, true, OutputLayout::Objectness, 25200},
        {{1, 6, 7}, 2, true, OutputLayout::AnchorFree, 7},  // both fit: the long side is N
        {{1, 6, 8400}, 1, false, {}, 0},
        {{1, 8400, 6}, 3, false, {}, 0},
        {{1, 5, 20, 20}, 1, false, {}, 0},
        {{2, 5, 8400}, 1, false, {}, 0},
        // Class counts at the int limit must not wrap round to a shape that fits.
        {{1, -2147483645, 3}, 2147483647, false, {}, 0},
        {{1, 3, -2147483644}, 2147483647, false, {}, 0},
    };
    for (const auto& c : cases) {
        std::string why;
        const auto format = IdentifyOutput(c.shape, c.classes, why);
        ASSERT_EQ(format.has_value(), c.ok) << why;
        if (c.ok) {
            EXPECT_EQ(format->layout, c.layout);
            EXPECT_EQ(format->anchors, c.anchors);
        } else {
            EXPECT_FALSE(why.empty());
        }
    }
}

TEST(DetectorOutputTest, DecodesBothLayoutsThroughTheLetterbox) {
    // A 1280 x 640 image letterboxed into 640: scale 0.5, 160 pixels of padding on top.
    Letterbox lb;
    lb.scale = 0.5f;
    lb.padY = 160;
    lb.image = {1280, 640};
    // Anchors: a box at (100, 200) 40 x 20 in the input, a weak one, one off the image.
    const float anchors[3][6] = {{120, 210, 40, 20, 0.9f, 0.2f},
                                 {300, 300, 10, 10, 0.1f, 0.15f},
                                 {700, 10, 20, 20, 0.9f, 0.9f}};
    cv::Mat anchorFree(std::vector<int>{1, 6, 3}, CV_32F);
    cv::Mat objectness(std::vector<int>{1, 3, 7}, CV_32F);
    for (int a = 0; a < 3; ++a) {
        for (int k = 0; k < 4; ++k) {
            anchorFree.ptr<float>(0, k)[a] = anchors[a][k];
            objectness.ptr<float>(0, a)[k] = anchors[a][k];
        }
        anchorFree.ptr<float>(0, 4)[a] = anchors[a][4];
        anchorFree.ptr<float>(0, 5)[a] = anchors[a][5];
        objectness.ptr<float>(0, a)[4] = 1.0f;
        objectness.ptr<float>(0, a)[5] = anchors[a][4];
        objectness.ptr<float>(0, a)[6] = anchors[a][5];
    }
    for (const auto& [output, layout] : {std::pair{anchorFree, OutputLayout::AnchorFree},
                                         std::pair{objectness, OutputLayout::Objectness}}) {
        std::vector<Candidate> candidates;
        DecodeOutput(output, OutputFormat{layout, 3, 2}, 0.25f, lb, candidates);
        ASSERT_EQ(candidates.size(), 1u);
        EXPECT_EQ(candidates[0].box, cv::Rect(200, 80, 80, 40));
        EXPECT_EQ(candidates[0].classId, 0);
        EXPECT_FLOAT_EQ(candidates[0].score, 0.9f);
    }
}

Candidate At(cv::Rect box, float score, int classId) { return {cv::Rect2f(box), box, score, classId}; }

TEST(DetectorOutputTest, SuppressionIsPerClassAndBestFirst) {
    std::vector<Candidate> candidates = {
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
    EXPECT_EQ(kept[2].box, cv::Rect(300, 0, 50, 50));
}
