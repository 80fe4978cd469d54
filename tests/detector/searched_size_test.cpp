// The host program's rule for frames the plug-in never searches (apps/weapon-detect/
// searchable_frame.h, which states the header's rule) against the detector's own division
// into sections: a frame is searched exactly when one of its sections covers the smallest
// window.
#include "../../apps/weapon-detect/searchable_frame.h"
#include "detector/held_area.h"
#include "support/detector_fixture.h"

using SearchedSizeTest = DetectorTest;

TEST_F(SearchedSizeTest, HostRuleMatchesTheDetectorsSections) {
    static unsigned char pixel = 0;  // only the size of a frame is read by the division
    auto searched = [&](int width, int height) {
        const cv::Mat frame(height, width, CV_8UC1, &pixel, 0);
        for (const auto& section : access.divideImage(frame)) {
            if (zrv::detector::CoversSmallestWindow(section.region)) return true;
        }
        return false;
    };
    EXPECT_EQ(weapon_detect::kSmallestSearchedSide, zrv::detector::kSmallestWindowSide);
    // Every width and height up to past the first grid change against a few of the other,
    // then every side against the bounds of every grid.
    int mismatches = 0;
    const int others[] = {10,  50,  51,  52,  101, 102,  103,  153,  154,  320,
                          321, 640, 641, 960, 961, 1280, 1281, 2560, 2561, 4000};
    for (int side = 10; side <= 700 && mismatches < 10; ++side) {
        for (const int other : others) {
            for (const auto& [w, h] : {std::pair{side, other}, std::pair{other, side}}) {
                if (weapon_detect::FrameIsSearched(w, h) != searched(w, h)) {
                    ADD_FAILURE() << w << " x " << h << ": the detector " << (searched(w, h) ? "searches" : "skips")
                                  << " it";
                    ++mismatches;
                }
            }
        }
    }
    // The cases the header names.
    EXPECT_FALSE(weapon_detect::FrameIsSearched(50, 50));
    EXPECT_TRUE(weapon_detect::FrameIsSearched(51, 51));
    EXPECT_FALSE(weapon_detect::FrameIsSearched(60, 400)) << "two columns of 30 pixels";
    EXPECT_TRUE(weapon_detect::FrameIsSearched(400, 60));
}
