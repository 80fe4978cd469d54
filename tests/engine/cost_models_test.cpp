// Graphs of the real architectures: detectors of the size and shape of the smallest common
// ones (random weights, tools/generate_cost_models.py), in both output layouts, load without
// a line on standard error and run on views of a frame. Generated once into the build folder.
#include <cstdlib>

#include "engine_fixture.h"

using namespace engine_test;

namespace {
std::string CostModels() {
    const std::string folder = ZRV_COST_MODELS;
    if (!std::filesystem::exists(folder + "/anchor_free_320.onnx") ||
        !std::filesystem::exists(folder + "/objectness_320.onnx")) {
        const std::string command = "/usr/bin/python3 " ZRV_SOURCE_DIR "/tools/generate_cost_models.py " + folder +
                                    " 320 > " + folder + ".log 2>&1";
        std::filesystem::create_directories(folder);
        EXPECT_EQ(std::system(command.c_str()), 0) << "generating the models failed; see " << folder << ".log";
    }
    return folder;
}
}  // namespace

TEST(CostModelsTest, RealArchitecturesLoadSilentlyAndRun) {
    const std::string folder = CostModels();
    for (const char* model : {"objectness_320", "anchor_free_320"}) {
        SCOPED_TRACE(model);
        int result = 0;
        std::string error;
        Engine engine = Load(folder, model, "classes.names", &result, &error);
        ASSERT_EQ(result, 1) << error;
        EXPECT_EQ(error.rfind("ZRVLIB: model '" + std::string(model) + "': task detect", 0), 0u) << error;
        EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1) << "a valid model loads with its load line only";
        const cv::Mat frame = Background(1920, 1080);
        std::vector<ZORAVELIN::Object> found;
        for (const cv::Rect view : {cv::Rect(0, 0, 480, 540), cv::Rect(700, 300, 480, 480)}) {
            EXPECT_EQ(engine->RunInference(frame(view), "cam", found), 1);
            for (const auto& o : found) EXPECT_EQ(o.box & cv::Rect(0, 0, view.width, view.height), o.box);
        }
    }
}
