// A detector wired to the scripted engine, with helpers shared by the detector tests.
#pragma once

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/detector_access.h"
#include "support/scripted_engine.h"

inline pid_t CurrentThreadId() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

// Waits, at most ten seconds, until the thread `tid` (0 until it has started) sleeps in the
// kernel (blocked on a lock) or `done` is set. True when either happened in time.
inline bool WaitUntilAsleepOrDone(const std::atomic<pid_t>& tid, const std::atomic<bool>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (done) return true;
        if (const pid_t id = tid) {
            std::ifstream stat("/proc/self/task/" + std::to_string(id) + "/stat");
            std::string line;
            std::getline(stat, line);
            const auto close = line.rfind(')');
            if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'S') return true;
        }
        std::this_thread::yield();
    }
    return false;
}

class DetectorTest : public ::testing::Test {
protected:
    using Object = ZORAVELIN::Object;

    void SetUp() override { scripted::Reset(); }
    void TearDown() override { detector.reset(); }

    // Initialises with the scripted engine, hiding the engine-type line.
    bool Init(float threshold = 0.5f, const std::string& folder = "models") {
        std::string labels;
        ::testing::internal::CaptureStdout();
        const bool ok = detector->Initialize(folder, threshold, labels);
        ::testing::internal::GetCapturedStdout();
        return ok;
    }

    // Starts a case of a table over: an empty script and record, a new detector, and an
    // accessor for it (the fixture's `access` belongs to the detector it replaced).
    ZRVCustomWDTestAccess FreshDetector() {
        scripted::Reset();
        detector = std::make_unique<ZRVCustomWD>();
        return ZRVCustomWDTestAccess(*detector);
    }

    // A frame with distinct pixel values, so that views can be told apart.
    static cv::Mat Frame(int cols, int rows) { return cv::Mat(rows, cols, CV_8UC3, cv::Scalar(7, 8, 9)); }

    std::unique_ptr<ZRVCustomWD> detector = std::make_unique<ZRVCustomWD>();
    ZRVCustomWDTestAccess access{*detector};
};
