// Detectors as users export them today (random weights, tools/generate_user_exports.py):
// both families at opset 17 with default settings, a Split with sizes, open axes, float16,
// a non-square input, 1000 classes and end-to-end heads. Each loads on the default backend
// and decodes to what an independent decode of the same network in torch gives
// (tools/reference_decode.py: suppression on the unclipped boxes, then clipping); the
// OpenCV reference refuses what it would misread, and both backends agree where both run.
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

#include "engine/detection_model.h"
#include "engine_fixture.h"
#include "user_exports.h"

using namespace engine_test;
using zrv::engine::BackendKind;
using zrv::engine::Candidate;
using zrv::engine::DetectionModel;
namespace fs = std::filesystem;

namespace {

constexpr float kFloor = 0.25f;
constexpr float kIoU = 0.5f;

nlohmann::json Manifest() {
    std::ifstream in(UserExports() + "/manifest.json");
    return nlohmann::json::parse(in);
}

int ClassCount(const std::string& classFile) {
    std::ifstream in(UserExports() + "/" + classFile);
    int count = 0;
    for (std::string line; std::getline(in, line);) count += !line.empty();
    return count;
}

struct Box {
    int classId;
    float score;
    float x1, y1, x2, y2;
};

std::vector<Box> Boxes(const std::vector<Candidate>& found) {
    std::vector<Box> boxes;
    for (const Candidate& c : found) {
        boxes.push_back({c.classId, c.score, static_cast<float>(c.box.x), static_cast<float>(c.box.y),
                         static_cast<float>(c.box.br().x), static_cast<float>(c.box.br().y)});
    }
    return boxes;
}

// Every box on one side has its match on the other (same class, score and edges within
// the bounds), except those so close to the floor that a rounding puts them on either side.
void ExpectSameDetections(const std::vector<Box>& expected, const std::vector<Box>& actual, float floor,
                          float boxBound, float scoreBound) {
    std::vector<bool> used(actual.size(), false);
    int matched = 0;
    for (const Box& e : expected) {
        bool found = false;
        for (size_t i = 0; i < actual.size() && !found; ++i) {
            const Box& a = actual[i];
            if (used[i] || a.classId != e.classId || std::abs(a.score - e.score) > scoreBound) continue;
            if (std::abs(a.x1 - e.x1) > boxBound || std::abs(a.y1 - e.y1) > boxBound ||
                std::abs(a.x2 - e.x2) > boxBound || std::abs(a.y2 - e.y2) > boxBound) {
                continue;
            }
            used[i] = found = true;
        }
        matched += found;
        if (!found && e.score > floor + scoreBound) {
            ADD_FAILURE() << "expected class " << e.classId << " score " << e.score << " at (" << e.x1 << ", "
                          << e.y1 << ", " << e.x2 << ", " << e.y2 << ") is missing";
        }
    }
    for (size_t i = 0; i < actual.size(); ++i) {
        const Box& a = actual[i];
        if (!used[i] && a.score > floor + scoreBound) {
            ADD_FAILURE() << "unexpected class " << a.classId << " score " << a.score << " at (" << a.x1 << ", "
                          << a.y1 << ", " << a.x2 << ", " << a.y2 << ")";
        }
    }
    EXPECT_GT(matched, 0) << "nothing to compare";
}

}  // namespace

#if ZRV_HAVE_OPENVINO
TEST(UserExportsTest, EveryExportLoadsAndDecodesAsTrained) {
    const std::string folder = UserExports();
    const cv::Mat image = cv::imread(folder + "/canvas.ppm");  // 640 x 640; letterboxed into each input
    ASSERT_FALSE(image.empty());
    const fs::path work = fs::path(ZRV_USER_EXPORTS).parent_path() / "user-exports-run";
    fs::create_directories(work);
    nlohmann::json jobs = nlohmann::json::array();
    std::vector<std::vector<Box>> engineBoxes;
    for (const auto& entry : Manifest()) {
        if (!entry["valid"].get<bool>()) continue;
        const std::string name = entry["name"];
        SCOPED_TRACE(name);
        DetectionModel model(BackendKind::OpenVino);
        std::string why, note;
        ::testing::internal::CaptureStderr();
        ::testing::internal::CaptureStdout();
        const bool loaded = model.Load(folder + "/" + entry["file"].get<std::string>(),
                                       ClassCount(entry["classes"]), why, note);
        EXPECT_EQ(::testing::internal::GetCapturedStdout() + ::testing::internal::GetCapturedStderr(), "")
            << "the runtime printed while loading";
        ASSERT_TRUE(loaded) << why;
        EXPECT_EQ(model.inputSize(), cv::Size(entry["input_width"], entry["input_height"]));
        EXPECT_EQ(note.empty(), entry["dynamic"] != "all") << note;
        std::vector<Candidate> found;
        model.Detect(image, kFloor, kIoU, found);
        engineBoxes.push_back(Boxes(found));
        // The reference gets the very canvas the engine letterboxed.
        cv::Mat canvas;
        const auto lb = zrv::engine::DrawLetterboxed(image, model.inputSize(), canvas);
        const std::string canvasPath = (work / (name + ".ppm")).string();
        ASSERT_TRUE(cv::imwrite(canvasPath, canvas));
        jobs.push_back({{"model", name}, {"models_dir", folder}, {"canvas", canvasPath}, {"scale", lb.scale},
                        {"pad_x", lb.padX}, {"pad_y", lb.padY}, {"image_width", image.cols},
                        {"image_height", image.rows}, {"min_score", kFloor}, {"iou", kIoU}});
    }
    std::ofstream(work / "jobs.json") << jobs.dump(1);
    const std::string command = "/usr/bin/python3 " ZRV_SOURCE_DIR "/tools/reference_decode.py " +
                                (work / "jobs.json").string() + " " + (work / "results.json").string() + " > " +
                                (work / "reference.log").string() + " 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << "see " << (work / "reference.log");
    std::ifstream in(work / "results.json");
    const auto results = nlohmann::json::parse(in);
    ASSERT_EQ(results.size(), jobs.size());
    for (size_t j = 0; j < jobs.size(); ++j) {
        SCOPED_TRACE(jobs[j]["model"].get<std::string>());
        std::vector<Box> expected;
        for (const auto& r : results[j]) {
            expected.push_back({r["class"], r["score"], r["x1"], r["y1"], r["x2"], r["y2"]});
        }
        // Float16 graphs compute in float16 where they say so; the reference computes their
        // half-rounded weights in float32.
        const bool half = jobs[j]["model"].get<std::string>().find("fp16") != std::string::npos;
        ExpectSameDetections(expected, engineBoxes[j], kFloor, half ? 2.0f : 1.0f, half ? 1e-2f : 2e-3f);
    }
}

TEST(UserExportsTest, BothBackendsAgreeWhereBothRun) {
    const std::string folder = Generated(ZRV_COST_MODELS, "objectness_320.onnx",
                                         "/usr/bin/python3 " ZRV_SOURCE_DIR "/tools/generate_cost_models.py " ZRV_COST_MODELS " 320");
    const cv::Mat image = cv::imread(UserExports() + "/canvas.ppm");
    // Random weights score near 0.01, and the objectness family near 0.01 squared: low floors
    // give enough boxes to compare.
    for (const auto& [name, floor] : {std::pair{"objectness_320", 1e-5f}, std::pair{"anchor_free_320", 1e-3f}}) {
        SCOPED_TRACE(name);
        std::vector<Box> boxes[2];
        for (const BackendKind kind : {BackendKind::OpenVino, BackendKind::OpenCv}) {
            DetectionModel model(kind);
            std::string why, note;
            ASSERT_TRUE(model.Load(folder + "/" + name + ".onnx", 1, why, note)) << why;
            std::vector<Candidate> found;
            model.Detect(image, floor, kIoU, found);
            boxes[kind == BackendKind::OpenCv] = Boxes(found);
        }
        ExpectSameDetections(boxes[1], boxes[0], floor, 1.0f, 2e-3f);
        EXPECT_GT(boxes[0].size(), 10u);
    }
}
#endif

TEST(UserExportsTest, OpenCvReferenceRefusesWhatItWouldMisread) {
    const std::string folder = UserExports();
    const struct {
        const char* model;
        const char* cause;
    } cases[] = {
        {"objectness_split_sizes", "is a Split with a sizes input (opset 17)"},
        {"objectness_fp16", "the graph has float16 weights or inputs"},
        {"anchor_free_dynamic", "computes shapes while the graph runs"},
        {"end_to_end_topk", "(TopK) makes an end-to-end head"},
        {"end_to_end_nms", "(NonMaxSuppression) makes an end-to-end head"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.model);
        DetectionModel model(BackendKind::OpenCv);
        std::string why, note;
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(model.Load(folder + "/" + c.model + ".onnx", 1, why, note));
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
        EXPECT_NE(why.find(c.cause), std::string::npos) << why;
        EXPECT_NE(why.find("OpenVINO"), std::string::npos) << why;
    }
}

TEST(UserExportsTest, UnusableFilesAreRefusedWithOneLineNamingTheCause) {
    const std::string folder = UserExports();
    const struct {
        const char* model;
        const char* classes;
        const char* cause;
    } cases[] = {
        {"two_inputs", "classes_1.names", "the graph has 2 inputs; export a detector with one image input"},
        {"odd_output", "classes_1.names", "output shape [1, 7, 3, 9] fits no detector layout"},
        {"objectness_640", "classes_3.names", "does not fit the 3 classes of the class file"},
        {"custom_op", "classes_1.names", "No conversion rule found for operations: com.example.FancyHead (export with"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.model);
        int result = -1;
        std::string error;
        Load(folder, c.model, c.classes, &result, &error);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1) << error;
        EXPECT_NE(error.find(c.cause), std::string::npos) << error;
    }
}
