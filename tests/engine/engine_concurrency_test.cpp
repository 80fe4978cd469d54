// Engines side by side on threads that never synchronise with each other, as a host's cameras
// run. Built and run under ThreadSanitizer: nothing inside the engine may be shared unguarded
// between two instances, including state OpenCV makes on first use.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "support/engine_load.h"
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

TEST(EngineConcurrencyTest, TwoInstancesOfOneModelRunAtOnce) {
    // Both instances share one compiled network; each has its own inference request. The
    // runtime's own worker threads are not instrumented, so it runs with one thread here, as
    // OpenCV's pool does above.
    cv::setNumThreads(1);
    ::setenv("ZRV_ENGINE_THREADS", "1", 1);
    ZORAVELIN::ZRVLIBHandle engines[2] = {ZORAVELIN::ZRVLIBHandle(ZORAVELIN::ZRVLIB::Create()),
                                          ZORAVELIN::ZRVLIBHandle(ZORAVELIN::ZRVLIB::Create())};
    for (auto& engine : engines) {
        std::string labels;
        ASSERT_EQ(zrv::testing::LoadModel(*engine, ZRV_SOURCE_DIR "/models/demo", "train_last", "classes.names",
                                          labels, 0.3f),
                  1);
    }
    auto watch = [](ZORAVELIN::ZRVLIB& engine, int offset, std::vector<cv::Rect>& boxes) {
        cv::Mat frame(480, 640, CV_8UC3, cv::Scalar(90, 90, 90));
        cv::rectangle(frame, cv::Rect(100 + offset, 200, 36, 17), cv::Scalar(255, 0, 255), cv::FILLED);
        std::vector<ZORAVELIN::Object> found;
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(engine.RunInference(frame, "cam", found), 1);
            for (const auto& o : found) boxes.push_back(o.box);
        }
    };
    std::vector<cv::Rect> boxes[2];
    std::thread other([&] { watch(*engines[1], 200, boxes[1]); });
    watch(*engines[0], 0, boxes[0]);
    other.join();
    // Each instance saw its own frame, not the other's.
    ASSERT_FALSE(boxes[0].empty());
    ASSERT_FALSE(boxes[1].empty());
    for (const cv::Rect& box : boxes[0]) EXPECT_NEAR(box.x, 100, 3);
    for (const cv::Rect& box : boxes[1]) EXPECT_NEAR(box.x, 300, 3);
}
