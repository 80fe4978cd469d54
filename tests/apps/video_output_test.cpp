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

// A live camera's video plays at the camera's speed: a 10 fps camera whose analysis takes
// every third frame gives a 10 fps video as long as the time it covers, and an outage is not
// filled with a frozen frame.
TEST(VideoOutputTest, LiveVideoPlaysAtTheCamerasMeasuredRate) {
    const fs::path dir = fs::temp_directory_path() / ("live_video_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    for (const char* name : {"v.mp4", "v.avi"}) {
        SCOPED_TRACE(name);
        const fs::path path = dir / name;
        weapon_detect::LiveVideo video(path.string());
        for (int i = 0; i <= 10; ++i) {  // frames 0, 3, ... 30, read 0.3 s apart: 3 s
            cv::Mat frame(48, 64, CV_8UC3, cv::Scalar(i * 20, 100, 50));
            video.Write(frame, 3 * i, 5.0 + 0.3 * i);
        }
        cv::Mat late(48, 64, CV_8UC3, cv::Scalar(0, 0, 255));
        video.Write(late, 400, 45.0);  // after a 37 s outage
        ASSERT_TRUE(video.Finish());
        EXPECT_EQ(video.fps(), 10.0);
        cv::VideoCapture check(path.string());
        EXPECT_EQ(check.get(cv::CAP_PROP_FPS), 10.0);
        // Slots 0 to 30 (each analysed frame repeated up to its time), then the late one.
        EXPECT_EQ(check.get(cv::CAP_PROP_FRAME_COUNT), 32.0);
    }
    fs::remove_all(dir);
}
