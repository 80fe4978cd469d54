// The search for a new area, as streams of frames through the frame entry.
#include "support/detector_fixture.h"

using SearchTest = DetectorTest;
using scripted::Detection;
using scripted::Op;

namespace {
// The view the weapon model saw on each call, in full-frame pixels.
std::vector<cv::Rect> WeaponViews() {
    std::vector<cv::Rect> views;
    for (const auto& call : scripted::callsOf(Op::RunInference, scripted::kWeapon)) {
        views.emplace_back(call.offset, call.imageSize);
    }
    return views;
}
}  // namespace

TEST_F(SearchTest, CyclesThroughTheRankedSectionsWithOneIdleStep) {
    ASSERT_TRUE(Init());
    const cv::Mat frame = Frame(1920, 1080);
    std::vector<int> cursor;
    for (int i = 0; i < 11; ++i) {
        EXPECT_TRUE(detector->RunInference(frame, "cam7").empty());
        cursor.push_back(access.currentPriority());
    }
    EXPECT_EQ(cursor, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 1, 2}));
    const std::vector<cv::Rect> expected = {
        {480, 0, 480, 540}, {960, 0, 480, 540}, {480, 540, 480, 540}, {960, 540, 480, 540},
        {0, 0, 480, 540},   {1440, 0, 480, 540}, {0, 540, 480, 540},  {1440, 540, 480, 540},
        {480, 0, 480, 540}, {960, 0, 480, 540}};
    EXPECT_EQ(WeaponViews(), expected) << "the ninth step examines nothing";
    for (const auto& call : scripted::callsOf(Op::RunInference, scripted::kWeapon)) {
        EXPECT_EQ(call.frameData, frame.data) << "every view shares the caller's pixels";
        EXPECT_EQ(call.cameraId, "cam7");
    }
    EXPECT_TRUE(scripted::callsOf(Op::RunInference, scripted::kPerson).empty());
    EXPECT_TRUE(scripted::callsOf(Op::DetectMovement).empty());
    EXPECT_EQ(access.area(), cv::Rect(0, 0, 0, 0));
}

TEST_F(SearchTest, SmallAndThinFrames) {
    const struct {
        int cols, rows, frames;
        std::vector<cv::Rect> views;
    } cases[] = {
        {320, 240, 4, {{0, 0, 320, 240}, {0, 0, 320, 240}}},  // whole frame, nothing, ...
        {1000, 100, 7, {}},                                   // sections 50 high: never examined
        {1000, 102, 1, {{333, 51, 333, 51}}},  // the lower middle section is nearest
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.cols << "x" << c.rows);
        ZRVCustomWDTestAccess a = FreshDetector();
        ASSERT_TRUE(Init());
        for (int i = 0; i < c.frames; ++i) detector->RunInference(Frame(c.cols, c.rows), "c");
        EXPECT_EQ(WeaponViews(), c.views);
        EXPECT_EQ(a.area(), cv::Rect(0, 0, 0, 0));
    }
}

TEST_F(SearchTest, CursorAcrossAChangeOfFrameSize) {
    ASSERT_TRUE(Init());
    access.currentPriority() = 7;
    detector->RunInference(Frame(1920, 1080));
    detector->RunInference(Frame(640, 480));  // 8 on a frame with 2 sections: restart at 1
    EXPECT_EQ(access.currentPriority(), 1);
    detector->RunInference(Frame(640, 480));
    detector->RunInference(Frame(1920, 1080));  // 2 goes on to priority 3 of the new ranking
    EXPECT_EQ(access.currentPriority(), 3);
    const std::vector<cv::Rect> expected = {
        {1440, 540, 480, 540}, {0, 0, 320, 480}, {320, 0, 320, 480}, {480, 540, 480, 540}};
    EXPECT_EQ(WeaponViews(), expected);
}

TEST_F(SearchTest, BoxesComeBackInFrameCoordinates) {
    ASSERT_TRUE(Init());
    scripted::script().detections[scripted::kWeapon] = {{Detection({10, 20, 30, 40}, 0.9f)}};
    scripted::script().detections[scripted::kPerson] = {{Detection({400, 0, 200, 300}, 0.9f)}};
    const auto results = detector->RunInference(Frame(1920, 1080), "door");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].box, cv::Rect(490, 20, 30, 40));
    EXPECT_EQ(results[0].cameraId, "door");
    // Locked on and re-centred: 490 + 15 - 240, 20 + 20 - 240 pushed inside.
    EXPECT_EQ(access.area(), cv::Rect(265, 0, 480, 480));
    EXPECT_TRUE(access.areaActive());
    EXPECT_EQ(access.confirmationCount(), 1);
    // Engine order: the weapon model on the section, then persons on the full frame.
    const auto& calls = scripted::calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2].model, scripted::kWeapon);
    EXPECT_EQ(calls.back().model, scripted::kPerson);
    EXPECT_EQ(calls.back().imageSize, cv::Size(1920, 1080));
}

TEST_F(SearchTest, CandidateFloorAndBestScore) {
    const struct {
        float threshold;
        std::vector<float> scores;
        int best;  // index of the candidate, -1 for none
    } cases[] = {
        {0.5f, {0.35f}, -1},
        {0.5f, {0.36f}, 0},
        {0.2f, {0.2f}, -1},
        {0.2f, {0.21f}, 0},
        {0.5f, {0.6f, 0.8f, 0.8f}, 1},  // the first of equal best scores
        {0.0f, {0.0f, -1.0f}, -1},      // never a candidate at 0 or below
        {0.5f, {std::numeric_limits<float>::quiet_NaN(), 0.4f}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.threshold << " best " << c.best);
        ZRVCustomWDTestAccess a = FreshDetector();
        ASSERT_TRUE(Init(c.threshold));
        std::vector<Object> answer;
        for (size_t i = 0; i < c.scores.size(); ++i) {
            answer.push_back(Detection({static_cast<int>(10 + 100 * i), 10, 20, 20}, c.scores[i]));
        }
        scripted::script().detections[scripted::kWeapon] = {answer};
        a.confirmationCount() = 3;
        std::vector<Object> results;
        a.search(Frame(1920, 1080), "c", results);
        EXPECT_TRUE(results.empty()) << "nobody holds it, and the counter is low";
        if (c.best < 0) {
            EXPECT_EQ(a.area(), cv::Rect(0, 0, 0, 0));
            EXPECT_FALSE(a.areaActive());
            EXPECT_EQ(a.confirmationCount(), 2) << "only the step's decay";
            EXPECT_TRUE(scripted::callsOf(Op::RunInference, scripted::kPerson).empty());
        } else {
            // An unconfirmed candidate still locks the area on itself.
            const int centreX = 480 + 10 + 100 * c.best + 10;
            EXPECT_EQ(a.area(), cv::Rect(centreX - 240, 0, 480, 480));
            EXPECT_TRUE(a.areaActive());
            EXPECT_EQ(a.noDetectionCount(), 0);
            EXPECT_EQ(a.confirmationCount(), 3) << "decayed to 2, then nobody in view: 3";
        }
    }
}

TEST_F(SearchTest, UnconfirmedCandidateLocksAndTheNextFrameTracks) {
    ASSERT_TRUE(Init());
    scripted::script().detections[scripted::kWeapon] = {{Detection({10, 20, 30, 40}, 0.9f)}};
    scripted::script().detections[scripted::kPerson] = {{Detection({1500, 800, 100, 200}, 0.9f)}};
    EXPECT_TRUE(detector->RunInference(Frame(1920, 1080)).empty());
    // The frame entry's no-detection rule counts once on the locked area.
    EXPECT_EQ(access.area(), cv::Rect(265, 0, 480, 480));
    EXPECT_TRUE(access.areaActive());
    EXPECT_EQ(access.noDetectionCount(), 1);
    EXPECT_EQ(access.confirmationCount(), 0);

    detector->RunInference(Frame(1920, 1080));
    const auto views = WeaponViews();
    ASSERT_EQ(views.size(), 2u);
    EXPECT_EQ(views[1], cv::Rect(265, 0, 480, 480)) << "the second frame tracks the area";
    EXPECT_EQ(access.currentPriority(), 1) << "tracking leaves the cursor alone";
}
