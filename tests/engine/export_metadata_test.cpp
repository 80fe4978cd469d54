// The export's own metadata (tools/generate_user_exports.py, tasks.json): pose and
// segmentation exports decode the boxes of the detector they extend; other tasks, class
// names, input sizes and strides that disagree are refused in one line; scores outside
// [0, 1] fail the load at the first run and are dropped later; one line per load says what
// was loaded.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include <opencv2/imgcodecs.hpp>

#include "engine/detection_model.h"
#include "engine/detector_output.h"
#include "engine/onnx_graph_facts.h"
#include "engine_fixture.h"
#include "user_exports.h"

using namespace engine_test;
using zrv::engine::BackendKind;
using zrv::engine::Candidate;
using zrv::engine::DetectionModel;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    for (std::istringstream in(text); std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A folder of its own with the named files of the generated exports linked into it.
fs::path FolderWith(const std::string& name, const std::vector<std::string>& files) {
    const fs::path dir = fs::temp_directory_path() / ("zrv_meta_" + name + "_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    for (const std::string& file : files) fs::create_symlink(fs::path(UserExports()) / file, dir / file);
    return dir;
}

}  // namespace

TEST(ExportMetadataTest, NamesAreReadFromThePythonDictTheTrainingToolsWrite) {
    using zrv::engine::ParseMetadataNames;
    const struct {
        const char* text;
        std::vector<std::string> names;  // empty: unreadable
    } cases[] = {
        {"{0: 'person', 1: 'fall'}", {"person", "fall"}},
        {"{0: \"o'clock\", 1: 'a \\'b\\''}", {"o'clock", "a 'b'"}},
        {"['knife', 'gun']", {"knife", "gun"}},
        {" {0: 'a',} ", {"a"}},
        {"{1: 'a'}", {}},  // ids start at 0 and run in order
        {"{0: 'a', 2: 'b'}", {}},
        {"{0: 'a'", {}},
        {"{0: a}", {}},
        {"{}", {}},
        {"{0: 'a'} trailing", {}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> names;
        EXPECT_EQ(ParseMetadataNames(c.text, names), !c.names.empty()) << c.text;
        EXPECT_EQ(names, c.names) << c.text;
    }
}

TEST(ExportMetadataTest, TheReaderFindsEveryKeyTheExportWrites) {
    zrv::engine::OnnxGraphFacts facts;
    std::string why;
    ASSERT_TRUE(zrv::engine::ReadOnnxGraphFacts(UserExports() + "/pose_640.onnx", facts, why)) << why;
    EXPECT_TRUE(facts.hasMetadata);
    EXPECT_EQ(facts.metadataTask, "pose");
    EXPECT_EQ(facts.metadataNames, std::vector<std::string>{"person"});
    EXPECT_EQ(facts.metadataKeypoints, (std::vector<int64_t>{4, 2}));
    EXPECT_EQ(facts.metadataStride, 32);
    EXPECT_EQ(facts.metadataHeight, 640);
    ASSERT_TRUE(zrv::engine::ReadOnnxGraphFacts(UserExports() + "/segment_640.onnx", facts, why)) << why;
    ASSERT_EQ(facts.outputs.size(), 2u);
    EXPECT_EQ(facts.outputs[1].dims, (std::vector<int64_t>{1, 32, 160, 160}));
    ASSERT_TRUE(zrv::engine::ReadOnnxGraphFacts(UserExports() + "/pose_640_no_metadata.onnx", facts, why)) << why;
    EXPECT_FALSE(facts.hasMetadata);
    EXPECT_TRUE(facts.metadataTask.empty());
}

// The pose and segmentation exports are anchor_free_640 with more channels after the class
// scores (and the segmentation's prototypes as a second output): same boxes, same scores.
// (Opset 17 exports: the OpenCV reference refuses them for their Split with sizes.)
#if ZRV_HAVE_OPENVINO
TEST(ExportMetadataTest, PoseAndSegmentDecodeTheBoxesOfTheirDetector) {
    const cv::Mat image = cv::imread(UserExports() + "/canvas.ppm");
    ASSERT_FALSE(image.empty());
    for (const BackendKind kind : {BackendKind::OpenVino}) {
        std::vector<Candidate> detected;
        {
            DetectionModel detector(kind);
            std::string why, note;
            ASSERT_TRUE(detector.Load(UserExports() + "/anchor_free_640.onnx", 1, why, note)) << why;
            detector.Detect(image, 0.25f, 0.5f, detected);
        }
        ASSERT_GT(detected.size(), 5u);
        for (const auto& [name, extra] : {std::pair{"pose_640", 8}, std::pair{"segment_640", 32}}) {
            SCOPED_TRACE(name);
            DetectionModel model(kind);
            std::string why, note;
            ASSERT_TRUE(model.Load(UserExports() + "/" + name + ".onnx", 1, why, note)) << why;
            EXPECT_EQ(model.format().extra, extra);
            EXPECT_FALSE(model.readByShapes());
            std::vector<Candidate> found;
            model.Detect(image, 0.25f, 0.5f, found);
            EXPECT_TRUE(model.firstRunProblem().empty()) << model.firstRunProblem();
            ASSERT_EQ(found.size(), detected.size());
            for (size_t i = 0; i < found.size(); ++i) {
                EXPECT_EQ(found[i].box, detected[i].box) << i;
                EXPECT_EQ(found[i].classId, detected[i].classId) << i;
                EXPECT_NEAR(found[i].score, detected[i].score, 1e-5f) << i;
            }
        }
    }
}
#endif

TEST(ExportMetadataTest, WhatTheMetadataContradictsIsRefusedInOneLine) {
    const std::string folder = UserExports();
    const struct {
        const char* model;
        const char* classes;
        bool warmUp;
        std::vector<std::string> says;
    } cases[] = {
        {"obb_640",
         "classes_1.names",
         false,
         {"the export's task is 'obb' (rotated boxes", "export a 'detect' model of the same classes instead"}},
        {"classify_224",
         "classes_1.names",
         false,
         {"the export's task is 'classify' (one label per image, no boxes)", "export a 'detect' model instead"}},
        // 4 + 9 = 13 channels would fit the shape: the export's names tell it apart.
        {"pose_640",
         "classes_9.names",
         false,
         {"classes_9.names' names 9 classes but the export names 1 class (person)"}},
        {"detect_640_names_mismatch",
         "classes_1.names",
         false,
         {"classes_1.names' names 1 class but the export names 2 classes (person, fall)"}},
        {"detect_640_imgsz_mismatch",
         "classes_1.names",
         false,
         {"the graph's input is 640 x 640 but its export recorded imgsz 320 x 320"}},
        {"detect_640_stride_mismatch",
         "classes_1.names",
         false,
         {"the input 640 x 640 is not a multiple of the export's stride 96"}},
        // Without metadata only the scores of the first run tell: keypoint coordinates.
        {"pose_640_no_metadata",
         "classes_9.names",
         true,
         {"scores up to ", ": the output is not what the class file describes (9 classes in '"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.model);
        Engine engine(ZORAVELIN::ZRVLIB::Create());
        std::string labels;
        ::testing::internal::CaptureStderr();
        const int result = zrv::testing::LoadModel(*engine, folder, c.model, c.classes, labels, 0.5f, c.warmUp);
        const std::string error = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(result, 0);
        ASSERT_EQ(Lines(error).size(), 1u) << error;
        EXPECT_EQ(error.rfind("ZRVLIB: cannot load model '" + std::string(c.model) + "': '" + folder + "/" + c.model +
                                  ".onnx': ",
                              0),
                  0u)
            << error;
        for (const std::string& part : c.says) EXPECT_NE(error.find(part), std::string::npos) << error;
    }
}

// Without a warm-up the first frame is the first run: the model is dropped then, said as a
// failed load once, and later calls find nothing loaded.
TEST(ExportMetadataTest, TheFirstRunFailsTheLoadWhenScoresLeaveTheUnitRange) {
    const cv::Mat image = cv::imread(UserExports() + "/canvas.ppm");
    for (const bool optimize : {false, true}) {
        SCOPED_TRACE(optimize ? "Optimize" : "first frame");
        int result = 0;
        std::string error;
        Engine engine = Load(UserExports(), "pose_640_no_metadata", "classes_9.names", &result, &error);
        ASSERT_EQ(result, 1) << error;
        EXPECT_NE(error.find("task detect (read by its shapes), 9 classes (class_0, class_1, class_2, class_3, …)"),
                  std::string::npos)
            << error;
        std::vector<ZORAVELIN::Object> objects;
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(optimize ? engine->Optimize(true) : engine->RunInference(image, "cam1", objects), 0);
        EXPECT_EQ(engine->RunInference(image, "cam1", objects), 0);
        EXPECT_TRUE(objects.empty());
        const std::vector<std::string> lines = Lines(::testing::internal::GetCapturedStderr());
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(std::regex_search(lines[0], std::regex("^ZRVLIB: cannot load model 'pose_640_no_metadata': '.*"
                                                           "pose_640_no_metadata.onnx': scores up to [0-9]{3}: the "
                                                           "output is not what the class file describes")))
            << lines[0];
    }
}

// A model whose scores pass the first run but leave [0, 1] on some images: those detections
// are dropped, and each camera is told once.
TEST(ExportMetadataTest, ScoresAboveOneAtRunTimeAreDroppedAndSaidOncePerCamera) {
    int result = 0;
    std::string error;
    Engine engine = Load(UserExports(), "brightness_64", "classes_1.names", &result, &error);
    ASSERT_EQ(result, 1) << error;
    ASSERT_EQ(engine->Optimize(true), 1);                        // the grey canvas scores 0.89
    const cv::Mat dark(64, 64, CV_8UC3, cv::Scalar::all(40));    // scores 0.31
    const cv::Mat white(64, 64, CV_8UC3, cv::Scalar::all(255));  // scores 2
    std::vector<ZORAVELIN::Object> objects;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(engine->RunInference(dark, "a", objects), 1);
    EXPECT_EQ(objects.size(), 4u);
    for (const char* camera : {"a", "a", "b", "a", "b"}) {
        EXPECT_EQ(engine->RunInference(white, camera, objects), 1);
        EXPECT_TRUE(objects.empty()) << camera;
    }
    EXPECT_EQ(engine->RunInference(dark, "b", objects), 1);
    EXPECT_EQ(objects.size(), 4u);
    const std::vector<std::string> lines = Lines(::testing::internal::GetCapturedStderr());
    ASSERT_EQ(lines.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(lines[i], std::string("ZRVLIB: model 'brightness_64': camera '") + (i ? "b" : "a") +
                                "': 4 candidates with scores outside [0, 1] (up to 2) dropped in this image; the "
                                "output is not what the class file describes (said once per camera)");
    }
}

TEST(ExportMetadataTest, AMissingClassFileIsRefusedShowingTheExportsNames) {
    const fs::path dir = FolderWith("missing", {"detect_640_names_mismatch.onnx", "anchor_free_640.onnx"});
    int result = -1;
    std::string error;
    Load(dir.string(), "detect_640_names_mismatch", "people.names", &result, &error);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(error, "ZRVLIB: cannot load model 'detect_640_names_mismatch': the class file '" +
                         (dir / "people.names").string() +
                         "' is missing; the export names 2 classes: write them in that file, one per line, in this "
                         "order: person, fall\n");
    // Without names in the export, as before.
    Load(dir.string(), "anchor_free_640", "people.names", &result, &error);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(error,
              "ZRVLIB: cannot load model 'anchor_free_640': '" + (dir / "people.names").string() + "' is missing\n");
    fs::remove_all(dir);
}

TEST(ExportMetadataTest, OneLinePerLoadNamesTaskClassesInputAndPrecision) {
    const struct {
        const char* model;
        const char* classes;
        const char* line;  // up to the precision
    } cases[] = {
        {"detect_640_metadata", "classes_1.names", "task detect, 1 class (weapon), input 640x640"},
        {"anchor_free_640", "classes_1.names", "task detect (read by its shapes), 1 class (weapon), input 640x640"},
        {"pose_640", "classes_1.names", "task pose, 1 class (weapon), input 640x640"},
        {"segment_640", "classes_1.names", "task segment, 1 class (weapon), input 640x640"},
        {"anchor_free_1000_classes", "classes_1000.names",
         "task detect (read by its shapes), 1000 classes (class_000, class_001, class_002, class_003, …), input "
         "640x640"},
        {"anchor_free_640x384", "classes_1.names", "task detect (read by its shapes), 1 class (weapon), input 640x384"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.model);
        int result = 0;
        std::string error;
        Load(UserExports(), c.model, c.classes, &result, &error);
        EXPECT_EQ(result, 1) << error;
        const std::string prefix = "ZRVLIB: model '" + std::string(c.model) + "': " + c.line + ", precision ";
        ASSERT_EQ(error.rfind(prefix, 0), 0u) << error;
        EXPECT_TRUE(std::regex_match(error.substr(prefix.size()), std::regex("(f32|bf16|f16)\n"))) << error;
    }
    DetectionModel reference(BackendKind::OpenCv);
    std::string why, note;
    ASSERT_TRUE(reference.Load(kDemoModels + "/train_last.onnx", 1, why, note)) << why;
    EXPECT_EQ(reference.precision(), "f32");
}

TEST(ExportMetadataTest, ChannelsAfterTheClassScoresAreSkippedAndScoresAboveOneDropped) {
    using namespace zrv::engine;
    // Anchors as columns: cx, cy, w, h, score, then two keypoint values of 500.
    const std::vector<float> columns = {
        100, 300,  // cx
        100, 300,  // cy
        20,  20,   // w
        20,  20,   // h
        0.9, 3.0,  // the second anchor's score is out of range
        500, 500,  // extra
        500, 500,  // extra
    };
    std::string why;
    const auto format = IdentifyOutput({1, 7, 2}, 1, false, why, 2);
    ASSERT_TRUE(format) << why;
    EXPECT_EQ(format->layout, OutputLayout::AnchorFree);
    EXPECT_FALSE(IdentifyOutput({1, 7, 2}, 1, false, why, 3));
    EXPECT_NE(why.find("the 1 classes of the class file and the 3 values that follow them: expected [1, 8, N]"),
              std::string::npos)
        << why;
    std::vector<Candidate> found;
    DecodeCounts counts;
    ASSERT_TRUE(DecodeOutput({columns.data(), {1, 7, 2}}, *format, 0.25f, found, &counts));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_FLOAT_EQ(found[0].score, 0.9f);
    EXPECT_EQ(counts.outOfRange, 1);
    EXPECT_FLOAT_EQ(counts.worstScore, 3.0f);
    float lowest = 0, highest = 0;
    ASSERT_TRUE(ScoreExtremes({columns.data(), {1, 7, 2}}, *format, lowest, highest));
    EXPECT_FLOAT_EQ(lowest, 0.9f);
    EXPECT_FLOAT_EQ(highest, 3.0f);
    // The same transposed: one row per anchor.
    std::vector<float> rows(columns.size());
    for (int v = 0; v < 7; ++v) {
        for (int a = 0; a < 2; ++a) rows[a * 7 + v] = columns[v * 2 + a];
    }
    const auto transposed = IdentifyOutput({1, 2, 7}, 1, false, why, 2);
    ASSERT_TRUE(transposed) << why;
    ASSERT_TRUE(DecodeOutput({rows.data(), {1, 2, 7}}, *transposed, 0.25f, found = {}, &counts));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(counts.outOfRange, 1);
}
