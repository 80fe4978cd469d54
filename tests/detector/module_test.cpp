// The module as a host loads it: plain exported symbols, Create and Release.
#include <gtest/gtest.h>

#include "loader/plugin_loader.h"
#include "support/console_lines.h"
#include "support/detector_access.h"
#include "support/scripted_engine.h"

TEST(ModuleTest, CreateAndReleaseAreFoundUnderTheirPlainNames) {
    const zrv::PluginModule module(ZRV_SCRIPTED_MODULE);
    auto detector = module.NewDetector();
    ASSERT_NE(detector, nullptr);
    ZRVCustomWDTestAccess access(*static_cast<ZRVCustomWD*>(detector.get()));
    ExpectConstructedState(access);
    // An uninitialised detector turns frames away.
    EXPECT_TRUE(detector->RunInference(cv::Mat(100, 100, CV_8UC3, cv::Scalar::all(0))).empty());
    detector.reset();  // Release: AddressSanitizer reports a leak or a bad free here
}

TEST(ModuleTest, ConsoleLinesGoToTheSinkAHostInstalled) {
    scripted::Reset();
    const zrv::PluginModule module(ZRV_SCRIPTED_MODULE);
    zrv::test::ConsoleLines lines;
    ASSERT_TRUE(module.RouteConsole(zrv::test::CollectConsoleLine, &lines));
    auto detector = module.NewDetector();
    std::string labels;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(detector->OptimizeModel(false));
    EXPECT_TRUE(detector->Initialize("models", 0.5f, labels));
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
    const std::vector<std::pair<int, std::string>> expected{
        {1, "Model is not initialized."}, {1, "CPU detected. Using OpenVINO and ONNX"}};
    EXPECT_EQ(lines.seen, expected);

    // Without a sink the same line goes to standard output again.
    ASSERT_TRUE(module.RouteConsole(nullptr, nullptr));
    ::testing::internal::CaptureStdout();
    detector->Initialize("models", 0.5f, labels);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "CPU detected. Using OpenVINO and ONNX\n");
}
