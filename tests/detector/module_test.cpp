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
    auto detector = module.NewDetector();
    std::string labels;
    {
        zrv::test::RoutedConsole console(module);
        ASSERT_TRUE(console.routed());
        EXPECT_FALSE(detector->OptimizeModel(false));
        EXPECT_TRUE(detector->Initialize("models", 0.5f, labels));
        EXPECT_EQ(console.Captured(), std::make_pair(std::string(), std::string()));
        const std::vector<std::pair<int, std::string>> expected{{1, "Model is not initialized."},
                                                                {1, "CPU detected. Using OpenVINO and ONNX"}};
        EXPECT_EQ(console.lines.seen, expected);
    }

    // Without a sink the same line goes to standard output again.
    ::testing::internal::CaptureStdout();
    detector->Initialize("models", 0.5f, labels);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "CPU detected. Using OpenVINO and ONNX\n");
}
