// The annotated video on its own: every frame rate a camera may deliver or be measured at
// gives a video that opens and holds every frame.
#include <cmath>
#include <filesystem>

#include <gtest/gtest.h>
#include <opencv2/videoio.hpp>

#include "output/video_output.h"

namespace fs = std::filesystem;
using weapon_detect::VideoOutput;

TEST(VideoOutputTest, AnyRateGivesAWholeVideo) {
    const fs::path dir = fs::temp_directory_path() / ("video_output_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const cv::Mat frame(48, 64, CV_8UC3, cv::Scalar(40, 200, 90));
    // Fractional rates above 65.5, film rates, a rate measured over a few frames, nonsense.
    for (const double fps : {65.7, 119.88, 29.97, 1000.0 / 7.0, 12.3456, 0.0, -3.0, std::nan(""), 1e9}) {
        for (const char* name : {"v.mp4", "v.avi"}) {
            SCOPED_TRACE(std::to_string(fps) + " " + name);
            const fs::path path = dir / name;
            VideoOutput video(path.string(), fps, frame.size());
            for (int i = 0; i < 5; ++i) video.Write(frame);
            ASSERT_TRUE(video.Finish());
            cv::VideoCapture check(path.string());
            EXPECT_EQ(check.get(cv::CAP_PROP_FRAME_COUNT), 5.0);
        }
    }
    fs::remove_all(dir);
}
