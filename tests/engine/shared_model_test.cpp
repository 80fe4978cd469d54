// One compiled network per model file and input size in a process, however many engine
// instances load it; each instance keeps its own request and answers for its own images.
#include <gtest/gtest.h>

#include "engine/detection_model.h"
#include "engine_fixture.h"
#if ZRV_HAVE_OPENVINO
#include "engine/openvino/compiled_models.h"
#endif

using namespace engine_test;

#if ZRV_HAVE_OPENVINO
TEST(SharedModelTest, InstancesOfOneFileCompileItOnce) {
    const std::string path = kDemoModels + "/train_last.onnx";
    const int64_t before = zrv::engine::CompiledModelCount();
    std::vector<zrv::engine::DetectionModel> cameras(16);
    for (auto& model : cameras) {
        std::string why, note;
        ASSERT_TRUE(model.Load(path, 1, why, note)) << why;
    }
    EXPECT_EQ(zrv::engine::CompiledModelCount() - before, 1) << "sixteen instances, one compile";

    // A second file is a second network; releasing every holder releases the network, and
    // the next load compiles it anew.
    zrv::engine::DetectionModel person;
    std::string why, note;
    ASSERT_TRUE(person.Load(kDemoModels + "/filter.onnx", 1, why, note)) << why;
    EXPECT_EQ(zrv::engine::CompiledModelCount() - before, 2);
    cameras.clear();
    zrv::engine::DetectionModel again;
    ASSERT_TRUE(again.Load(path, 1, why, note)) << why;
    EXPECT_EQ(zrv::engine::CompiledModelCount() - before, 3);

    // Sharing the network does not share results: each instance answers for its own image.
    zrv::engine::DetectionModel other;
    ASSERT_TRUE(other.Load(path, 1, why, note)) << why;
    EXPECT_EQ(zrv::engine::CompiledModelCount() - before, 3);
    cv::Mat left = Background(640, 480), right = Background(640, 480);
    cv::rectangle(left, cv::Rect(100, 200, 36, 17), kWeaponColour, cv::FILLED);
    cv::rectangle(right, cv::Rect(400, 100, 36, 17), kWeaponColour, cv::FILLED);
    std::vector<zrv::engine::Candidate> fromLeft, fromRight;
    again.Detect(left, 0.3f, 0.5f, fromLeft);
    other.Detect(right, 0.3f, 0.5f, fromRight);
    ASSERT_EQ(fromLeft.size(), 1u);
    ASSERT_EQ(fromRight.size(), 1u);
    EXPECT_NEAR(fromLeft[0].box.x, 100, 3);
    EXPECT_NEAR(fromRight[0].box.x, 400, 3);
}
#endif
