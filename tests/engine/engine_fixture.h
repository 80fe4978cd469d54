// Helpers for the tests of the OpenCV engine.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "support/engine_load.h"
#include "zrv/ZRVLIB.h"

namespace engine_test {

using Engine = ZORAVELIN::ZRVLIBHandle;

inline const std::string kDemoModels = ZRV_SOURCE_DIR "/models/demo";
inline const std::string kTestModels = ZRV_SOURCE_DIR "/tests/engine/data";

// Loads a model; `result` gets the load result and `error` what was written on stderr.
inline Engine Load(const std::string& folder, const std::string& model, const std::string& classes,
                   int* result = nullptr, std::string* error = nullptr, std::string* labels = nullptr) {
    Engine engine(ZORAVELIN::ZRVLIB::Create());
    std::string map = labels ? *labels : std::string();
    ::testing::internal::CaptureStderr();
    const int r = zrv::testing::LoadModel(*engine, folder, model, classes, map);
    const std::string err = ::testing::internal::GetCapturedStderr();
    if (result) *result = r;
    if (error) *error = err;
    if (labels) *labels = map;
    return engine;
}

// A textured background, far from the cue colours.
inline cv::Mat Background(int cols, int rows) {
    cv::Mat image(rows, cols, CV_8UC3, cv::Scalar(80, 90, 100));
    for (int y = 0; y < rows; y += 40) cv::line(image, {0, y}, {cols, y}, cv::Scalar(60, 70, 60), 3);
    return image;
}

inline const cv::Scalar kWeaponColour(255, 0, 255);
inline const cv::Scalar kPersonColour(140, 140, 0);

}  // namespace engine_test
