// One compiled network per model file and input size in a process, however many engine
// instances load it; each instance keeps its own request and answers for its own images.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "engine/detection_model.h"
#include "engine_fixture.h"
#include "user_exports.h"
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

// The cache holds an entry for each network someone holds, no more: a failed compile leaves
// nothing, a released network's entry goes at the next load, and a file rewritten on disk
// replaces its entry however many times it is rewritten.
TEST(SharedModelTest, TheCacheHoldsOnlyNetworksInUse) {
    namespace fs = std::filesystem;
    using zrv::engine::CompiledModelCacheEntries;
    using zrv::engine::CompiledModelCount;
    const fs::path dir = fs::temp_directory_path() / ("zrv_cache_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string path = (dir / "model.onnx").string();
    fs::copy_file(kDemoModels + "/train_last.onnx", path, fs::copy_options::overwrite_existing);
    // Refused by the runtime (an operator it cannot convert), after the cache was swept.
    const std::string broken = UserExports() + "/custom_op.onnx";
    std::string why, note;
    const auto load = [&](zrv::engine::DetectionModel& model, const std::string& file) {
        return model.Load(file, 1, why, note);
    };

    zrv::engine::DetectionModel failed;
    const size_t before = CompiledModelCacheEntries();
    ASSERT_FALSE(load(failed, broken));
    EXPECT_NE(why.find("No conversion rule found"), std::string::npos) << why;
    const size_t base = CompiledModelCacheEntries();
    EXPECT_LE(base, before) << "a failed compile leaves no entry";

    auto first = std::make_unique<zrv::engine::DetectionModel>();
    ASSERT_TRUE(load(*first, path)) << why;
    EXPECT_EQ(CompiledModelCacheEntries(), base + 1);
    EXPECT_FALSE(load(failed, broken));
    EXPECT_EQ(CompiledModelCacheEntries(), base + 1);

    // Rewritten while the first instance holds its network: compiled anew, one entry.
    std::vector<std::unique_ptr<zrv::engine::DetectionModel>> held;
    held.push_back(std::move(first));
    for (int version = 1; version <= 3; ++version) {
        SCOPED_TRACE(version);
        fs::last_write_time(path, fs::last_write_time(path) + std::chrono::hours(version));
        const int64_t compiled = CompiledModelCount();
        held.push_back(std::make_unique<zrv::engine::DetectionModel>());
        ASSERT_TRUE(load(*held.back(), path)) << why;
        EXPECT_EQ(CompiledModelCount(), compiled + 1) << "a rewritten file is compiled anew";
        EXPECT_EQ(CompiledModelCacheEntries(), base + 1);
    }
    // Every earlier version still runs for its holder.
    std::vector<zrv::engine::Candidate> found;
    cv::Mat image = Background(640, 640);
    cv::rectangle(image, cv::Rect(100, 200, 36, 17), kWeaponColour, cv::FILLED);
    held.front()->Detect(image, 0.3f, 0.5f, found);
    EXPECT_EQ(found.size(), 1u);

    // Released: the entry goes at the next load, whatever file that is.
    held.clear();
    zrv::engine::DetectionModel person;
    ASSERT_TRUE(load(person, kDemoModels + "/filter.onnx")) << why;
    EXPECT_EQ(CompiledModelCacheEntries(), base + 1) << "the person model's entry alone";
    fs::remove_all(dir);
}
#endif
