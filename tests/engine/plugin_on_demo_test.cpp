// The plug-in module on the real engine and the demo models, over the demo scene. The
// test binary also links the module, only so that the test-access friend can read the
// detector's state; dlopen finds that same module.
#include <gtest/gtest.h>

#include "demo/demo_scene.h"
#include "loader/plugin_loader.h"
#include "support/console_lines.h"
#include "support/detector_access.h"
#include "zrv/ZRVCustomClass.h"

TEST(PluginOnDemoTest, FindsLocksOnAndReleasesTheWeapon) {
    const zrv::PluginModule module(ZRV_MODULE_PATH);
    auto detector = module.NewDetector();

    std::string labels;
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(detector->Initialize(ZRV_SOURCE_DIR "/models/demo", 0.5f, labels));
    ::testing::internal::GetCapturedStdout();

    zrv::demo::DemoScene scene;
    cv::Mat frame;
    int firstHit = -1, lastHit = -1, hits = 0, visible = 0, wrong = 0;
    for (int i = 0; i < zrv::demo::DemoScene::kFrames; ++i) {
        const auto truth = scene.Render(i, frame);
        const auto results = detector->RunInference(frame, "demo");
        visible += truth.weaponVisible;
        for (const auto& r : results) {
            // A weapon partly out of the frame is still a weapon: its visible part counts.
            if (truth.weapon.area() > 0 && (r.box & truth.weapon).area() * 2 > truth.weapon.area()) {
                hits += truth.weaponVisible;
                if (firstHit < 0) firstHit = i;
                lastHit = i;
            } else {
                ++wrong;
                ADD_FAILURE() << "frame " << i << ": reported " << r.box << ", weapon " << truth.weapon;
            }
        }
    }
    EXPECT_EQ(wrong, 0) << "nothing is reported where there is no weapon";
    EXPECT_GE(firstHit, 0);
    EXPECT_LT(firstHit, 60) << "the search finds the weapon within a few cycles";
    EXPECT_GT(hits, visible * 9 / 10) << "once locked on, it keeps reporting the weapon (" << hits << " of "
                                      << visible << ")";
    EXPECT_GT(lastHit, 190);
    // The weapon left the scene long enough ago for the held area to be released.
    ZRVCustomWDTestAccess access(*static_cast<ZRVCustomWD*>(detector.get()));
    EXPECT_FALSE(access.areaActive());
    EXPECT_TRUE(access.area().width == 0 || access.area().height == 0);
}

// A host that routes the console must still learn why Initialize failed: the engine's
// reason is a line of the error stream through the host's sink, and nothing is printed.
TEST(PluginOnDemoTest, WhyALoadFailedReachesTheHostsSink) {
    const zrv::PluginModule module(ZRV_MODULE_PATH);
    auto detector = module.NewDetector();
    std::string labels;
    zrv::test::RoutedConsole console(module);
    ASSERT_TRUE(console.routed());
    EXPECT_FALSE(detector->Initialize(ZRV_SOURCE_DIR "/no-such-model-folder", 0.5f, labels));
    EXPECT_EQ(console.Captured(), std::make_pair(std::string(), std::string()));

    const auto& lines = console.lines;
    ASSERT_EQ(lines.seen.size(), 3u);
    EXPECT_EQ(lines.seen[0], std::make_pair(1, std::string("CPU detected. Using OpenVINO and ONNX")));
    const std::pair<int, const char*> failed[] = {{1, "ZRVLIB: cannot load model 'train_last': "},
                                                  {2, "ZRVLIB: cannot load model 'filter': "}};
    for (const auto& [index, start] : failed) {
        EXPECT_EQ(lines.seen[index].first, 2);
        EXPECT_EQ(lines.seen[index].second.rfind(start, 0), 0u) << lines.seen[index].second;
        EXPECT_NE(lines.seen[index].second.find("no-such-model-folder"), std::string::npos);
    }
}

// An Initialize whose loads failed keeps both engine instances without a model: optimising
// asks both and fails. Only a detector without engines is "not initialized".
TEST(PluginOnDemoTest, OptimizingAfterAFailedLoadSaysItFailed) {
    const zrv::PluginModule module(ZRV_MODULE_PATH);
    auto detector = module.NewDetector();
    std::string labels;
    zrv::test::RoutedConsole console(module);
    ASSERT_TRUE(console.routed());
    const std::pair<int, std::string> notInitialized{1, "Model is not initialized."};
    const std::pair<int, std::string> failed{1, "Model optimization failed."};
    const std::pair<int, std::string> succeeded{1, "Model optimization successful."};

    EXPECT_FALSE(detector->OptimizeModel(true));
    ASSERT_FALSE(detector->Initialize(ZRV_SOURCE_DIR "/no-such-model-folder", 0.5f, labels));
    EXPECT_FALSE(detector->OptimizeModel(true));
    ASSERT_TRUE(detector->Initialize(ZRV_SOURCE_DIR "/models/demo", 0.5f, labels));
    EXPECT_TRUE(detector->OptimizeModel(true));
    detector->Destroy();
    EXPECT_FALSE(detector->OptimizeModel(true));
    console.Captured();

    std::vector<std::pair<int, std::string>> optimisations;
    for (const auto& line : console.lines.seen) {
        if (line.second.rfind("Model ", 0) == 0) optimisations.push_back(line);
    }
    EXPECT_EQ(optimisations,
              (std::vector<std::pair<int, std::string>>{notInitialized, failed, succeeded, notInitialized}));
}
