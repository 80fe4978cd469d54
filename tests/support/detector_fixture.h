// A detector wired to the scripted engine, with helpers shared by the detector tests.
#pragma once

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "support/detector_access.h"
#include "support/scripted_engine.h"

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
