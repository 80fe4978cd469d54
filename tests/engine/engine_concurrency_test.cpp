// Engines side by side on threads that never synchronise with each other, as a host's cameras
// run. Built and run under ThreadSanitizer: nothing inside the engine may be shared unguarded
// between two instances, including state OpenCV makes on first use.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "zrv/ZRVLIB.h"

namespace {

// One camera: a grey scene with a block moving 10 px a frame, through its own engine.
void WatchCamera(const char* cameraId, int frames) {
    ZORAVELIN::ZRVLIBHandle engine(ZORAVELIN::ZRVLIB::Create());
    cv::Mat frame(360, 640, CV_8UC3);
    std::vector<ZORAVELIN::Object> regions;
    for (int i = 0; i < frames; ++i) {
        frame.setTo(cv::Scalar(90, 90, 90));
        cv::rectangle(frame, cv::Rect(100 + 10 * i, 150, 40, 40), cv::Scalar(200, 40, 200), cv::FILLED);
        EXPECT_EQ(engine->DetectMovement(frame, cameraId, regions), 1);
    }
}

}  // namespace

TEST(EngineConcurrencyTest, CamerasOnUnsynchronisedThreadsShareNothing) {
    // The second camera starts once the first has analysed frames, told through a relaxed
    // flag: no lock or ordering joins the two threads, so any state the first made lazily
    // and the second reads is reported as a race.
    // OpenCV's own worker pool (TBB, not instrumented) would be reported otherwise, as in the
    // host program's thread test.
    cv::setNumThreads(1);
    std::atomic<bool> firstHasRun{false};
    std::thread second([&] {
        while (!firstHasRun.load(std::memory_order_relaxed)) std::this_thread::yield();
        WatchCamera("second", 6);
    });
    WatchCamera("first", 3);
    firstHasRun.store(true, std::memory_order_relaxed);
    WatchCamera("first again", 3);
    second.join();
}
