// Division of frames into ranked scan sections and the lookups over them.
#include "support/detector_fixture.h"

using SectionsTest = DetectorTest;

namespace {
struct Ranked {
    cv::Rect region;
    double distance;
};
}  // namespace

TEST_F(SectionsTest, RankingTables) {
    struct Case {
        int cols, rows;
        std::vector<Ranked> ranking;  // in priority order
    };
    const Case cases[] = {
        {320, 240, {{{0, 0, 320, 240}, 0}}},
        {640, 480, {{{0, 0, 320, 480}, 160}, {{320, 0, 320, 480}, 160}}},
        {800, 600,
         {{{0, 0, 400, 300}, 250}, {{400, 0, 400, 300}, 250}, {{0, 300, 400, 300}, 250},
          {{400, 300, 400, 300}, 250}}},
        {1280, 720,
         {{{426, 0, 426, 360}, 180.0028}, {{426, 360, 426, 360}, 180.0028},
          {{852, 0, 428, 360}, 462.4673}, {{852, 360, 428, 360}, 462.4673},
          {{0, 0, 426, 360}, 463.3886}, {{0, 360, 426, 360}, 463.3886}}},
        {1920, 1080,
         {{{480, 0, 480, 540}, 361.2478}, {{960, 0, 480, 540}, 361.2478},
          {{480, 540, 480, 540}, 361.2478}, {{960, 540, 480, 540}, 361.2478},
          {{0, 0, 480, 540}, 768.9603}, {{1440, 0, 480, 540}, 768.9603},
          {{0, 540, 480, 540}, 768.9603}, {{1440, 540, 480, 540}, 768.9603}}},
        {3840, 2160,
         {{{960, 720, 960, 720}, 480}, {{1920, 720, 960, 720}, 480},
          {{960, 0, 960, 720}, 865.3323}, {{1920, 0, 960, 720}, 865.3323},
          {{960, 1440, 960, 720}, 865.3323}, {{1920, 1440, 960, 720}, 865.3323},
          {{0, 720, 960, 720}, 1440}, {{2880, 720, 960, 720}, 1440},
          {{0, 0, 960, 720}, 1609.9689}, {{2880, 0, 960, 720}, 1609.9689},
          {{0, 1440, 960, 720}, 1609.9689}, {{2880, 1440, 960, 720}, 1609.9689}}},
        // Portrait frames are split along the width too.
        {480, 640, {{{0, 0, 240, 640}, 120}, {{240, 0, 240, 640}, 120}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.cols << "x" << c.rows);
        ZRVCustomWD wd;
        ZRVCustomWDTestAccess a(wd);
        const cv::Mat frame = Frame(c.cols, c.rows);
        const auto sections = a.divideImage(frame);
        ASSERT_EQ(sections.size(), c.ranking.size());
        const cv::Point center(c.cols / 2, c.rows / 2);
        for (size_t k = 0; k < sections.size(); ++k) {
            EXPECT_EQ(sections[k].priority, static_cast<int>(k) + 1);
            EXPECT_EQ(sections[k].region, c.ranking[k].region) << "priority " << k + 1;
            EXPECT_NEAR(a.distanceToCenter(center, sections[k].region), c.ranking[k].distance, 5e-5);
            EXPECT_EQ(a.regionByPriority(static_cast<int>(k) + 1), c.ranking[k].region);
        }
        EXPECT_EQ(a.highestPriority(), 1);
        EXPECT_EQ(a.lowestPriority(), static_cast<int>(c.ranking.size()));
        EXPECT_EQ(a.regionByPriority(0), cv::Rect());
        EXPECT_EQ(a.regionByPriority(static_cast<int>(c.ranking.size()) + 1), cv::Rect());
    }
}

TEST_F(SectionsTest, SectionCountClassBoundaries) {
    const std::pair<int, size_t> cases[] = {{320, 1}, {321, 2},  {640, 2},  {641, 4},  {960, 4},
                                            {961, 6}, {1280, 6}, {1281, 8}, {2560, 8}, {2561, 12}};
    for (auto [larger, count] : cases) {
        for (bool portrait : {false, true}) {
            SCOPED_TRACE(::testing::Message() << larger << (portrait ? " portrait" : ""));
            ZRVCustomWD wd;
            ZRVCustomWDTestAccess a(wd);
            const cv::Mat frame = portrait ? Frame(100, larger) : Frame(larger, 100);
            const auto sections = a.divideImage(frame);
            EXPECT_EQ(sections.size(), count);
            // The sections cover the frame exactly.
            long long covered = 0;
            for (const auto& s : sections) covered += static_cast<long long>(s.region.area());
            EXPECT_EQ(covered, static_cast<long long>(frame.total()));
        }
    }
}

TEST_F(SectionsTest, CacheIsKeyedByFrameSize) {
    const auto first = access.divideImage(Frame(1920, 1080));
    // Tamper with the cache: an unchanged size must not recompute it.
    access.sections()[0].region = cv::Rect(1, 2, 3, 4);
    EXPECT_EQ(access.divideImage(Frame(1920, 1080))[0].region, cv::Rect(1, 2, 3, 4));
    EXPECT_EQ(access.divideImage(Frame(640, 480)).size(), 2u);
    EXPECT_EQ(access.lastImageWidth(), 640);
    EXPECT_EQ(access.lastImageHeight(), 480);
    const auto again = access.divideImage(Frame(1920, 1080));
    EXPECT_EQ(again[0].region, first[0].region) << "switching back recomputes";
}

TEST_F(SectionsTest, EmptyFrameReportsOnceAndChangesNothing) {
    const auto before = access.divideImage(Frame(800, 600));
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    const auto after = access.divideImage(cv::Mat());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Error: Empty image!\n");
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(access.lastImageWidth(), 800);
    EXPECT_EQ(access.lastImageHeight(), 600);

    ZRVCustomWD fresh;
    ZRVCustomWDTestAccess f(fresh);
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(f.divideImage(cv::Mat()).empty());
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(f.highestPriority(), 0);
    EXPECT_EQ(f.lowestPriority(), 0);
    EXPECT_EQ(f.regionByPriority(1), cv::Rect());
}

TEST_F(SectionsTest, DistanceToCenter) {
    EXPECT_DOUBLE_EQ(access.distanceToCenter({5, 5}, {0, 0, 11, 11}), 0.0);
    EXPECT_DOUBLE_EQ(access.distanceToCenter({0, 0}, {0, 0, 7, 9}), 5.0);
}
