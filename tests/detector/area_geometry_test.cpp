// Placing the held area, the no-detection rule and overlap measures.
#include <limits>

#include "support/detector_fixture.h"
#include "support/scripted_engine.h"

using AreaGeometryTest = DetectorTest;
using scripted::Detection;

TEST_F(AreaGeometryTest, SideDependsOnTheLongerDimensionLimitedByTheShorter) {
    const struct {
        int cols, rows, side;
    } cases[] = {{1920, 1080, 480}, {1921, 1080, 640}, {1280, 720, 320}, {1281, 720, 480},
                 {640, 480, 224},   {641, 360, 320},   {200, 100, 100},  {1080, 1920, 480},
                 {3840, 2160, 640}, {2000, 300, 300}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.cols << "x" << c.rows);
        access.updateAreaFromObject(Frame(c.cols, c.rows), Detection({0, 0, 10, 10}, 1));
        EXPECT_EQ(access.area().width, c.side);
        EXPECT_EQ(access.area().height, c.side);
    }
}

TEST_F(AreaGeometryTest, PlacementCentresAndPushesInsideTheFrame) {
    const struct {
        int cols, rows;
        cv::Rect box, area;
    } cases[] = {
        {1920, 1080, {1000, 600, 50, 30}, {785, 375, 480, 480}},
        {1920, 1080, {100, 50, 41, 21}, {0, 0, 480, 480}},
        {1920, 1080, {1900, 1000, 20, 20}, {1440, 600, 480, 480}},
        // An odd width of 41 contributes a half of 20.
        {1920, 1080, {1000, 600, 41, 30}, {780, 375, 480, 480}},
        // Negative halves truncate toward zero: -3 / 2 is -1.
        {1920, 1080, {800, 600, -3, -3}, {559, 359, 480, 480}},
        // Partly outside the frame.
        {1920, 1080, {-100, 1050, 300, 100}, {0, 600, 480, 480}},
        {200, 100, {150, 90, 10, 10}, {100, 0, 100, 100}},
        {200, 100, {50, 10, 10, 10}, {5, 0, 100, 100}},
        // Extreme engine boxes give a defined, clamped area.
        {1920, 1080, {2147483000, 2147483000, 2000000000, 2000000000}, {1440, 600, 480, 480}},
        {1920, 1080, {std::numeric_limits<int>::min(), 0, -2000000000, 10}, {0, 0, 480, 480}},
        {1920, 1080,
         {std::numeric_limits<int>::max(), std::numeric_limits<int>::max(),
          std::numeric_limits<int>::max(), std::numeric_limits<int>::max()},
         {1440, 600, 480, 480}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.box);
        const cv::Mat frame = Frame(c.cols, c.rows);
        access.updateAreaFromObject(frame, Detection(c.box, 1));
        EXPECT_EQ(access.area(), c.area);
        access.area() = cv::Rect();
        access.updateActiveROI(frame, Detection(c.box, 1));
        EXPECT_EQ(access.area(), c.area) << "both placements compute the same area";
    }
}

TEST_F(AreaGeometryTest, PlacementOnAnEmptyFrameGivesAnEmptyArea) {
    access.area() = cv::Rect(5, 5, 300, 300);
    access.updateAreaFromObject(cv::Mat(), Detection({10, 10, 10, 10}, 1));
    EXPECT_EQ(access.area(), cv::Rect(0, 0, 0, 0));
}

TEST_F(AreaGeometryTest, NoDetectionRuleReleasesAtTheEightiethApplication) {
    access.area() = cv::Rect(30, 40, 480, 480);
    access.areaActive() = true;
    for (int i = 1; i < 80; ++i) {
        access.confirmationCount() = 5;
        access.noDetection();
        ASSERT_EQ(access.noDetectionCount(), i);
        ASSERT_TRUE(access.areaActive());
        ASSERT_EQ(access.area(), cv::Rect(30, 40, 480, 480));
        ASSERT_EQ(access.confirmationCount(), 0);
    }
    access.noDetection();
    EXPECT_EQ(access.area(), cv::Rect(30, 40, 0, 0));
    EXPECT_FALSE(access.areaActive());
    EXPECT_EQ(access.noDetectionCount(), 0);

    // Not held: one application empties the area at once.
    access.area() = cv::Rect(7, 8, 224, 224);
    access.confirmationCount() = 9;
    access.noDetection();
    EXPECT_EQ(access.area(), cv::Rect(7, 8, 0, 0));
    EXPECT_EQ(access.noDetectionCount(), 0);
    EXPECT_EQ(access.confirmationCount(), 0);
}

TEST_F(AreaGeometryTest, IntersectionOverUnion) {
    const int maxInt = std::numeric_limits<int>::max();
    const struct {
        cv::Rect a, b;
        float expected;
    } cases[] = {
        {{3, 4, 10, 20}, {3, 4, 10, 20}, 1.0f},
        {{0, 0, 10, 10}, {10, 0, 10, 10}, 0.0f},
        {{0, 0, 10, 10}, {5, 0, 10, 10}, 50.0f / 150.0f},
        {{0, 0, 0, 0}, {0, 0, 0, 0}, 0.0f},
        {{0, 0, 1, 1}, {0, 0, 4, 5}, 1.0f / 20.0f},
        // Products beyond 32 bits stay defined.
        {{0, 0, 2000000000, 2000000000}, {0, 0, 2000000000, 2000000000}, 1.0f},
        {{2147483000, 0, maxInt, 10}, {0, 0, maxInt, 10}, 647.0f / (2.0f * maxInt - 647.0f)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.a << " " << c.b);
        EXPECT_FLOAT_EQ(access.iou(c.a, c.b), c.expected);
        EXPECT_FLOAT_EQ(access.iou(c.b, c.a), c.expected);
    }
}

TEST_F(AreaGeometryTest, OverlapIsStrictAgainstTheThreshold) {
    const auto box = Detection({0, 0, 1, 1}, 1);
    EXPECT_FALSE(access.isOverlapping(box, {}, 0.0f));
    EXPECT_FALSE(access.isOverlapping(box, {Detection({0, 0, 4, 5}, 1)}, 0.05f));
    EXPECT_TRUE(access.isOverlapping(box, {Detection({0, 0, 4, 4}, 1)}, 0.05f));
    // Touching along an edge is no overlap at threshold 0; any shared area is.
    EXPECT_FALSE(access.isOverlapping(Detection({0, 0, 10, 10}, 1),
                                      {Detection({10, 0, 5, 5}, 1), Detection({0, 10, 5, 5}, 1)}, 0.0f));
    EXPECT_TRUE(access.isOverlapping(Detection({0, 0, 10, 10}, 1),
                                     {Detection({10, 0, 5, 5}, 1), Detection({9, 9, 5, 5}, 1)}, 0.0f));
}
