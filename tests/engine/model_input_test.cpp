// The input size comes from the graph itself, loading is silent, and suppression measures
// overlap on the boxes as decoded.
#include <fstream>

#include <gtest/gtest.h>

#include "engine/detection_model.h"
#include "engine/onnx_graph_facts.h"
#include "engine_fixture.h"

using namespace engine_test;
using zrv::engine::OnnxInputShape;

TEST(ModelInputTest, ShapeIsReadFromTheGraph) {
    const struct {
        std::string path;
        bool ok;
        std::vector<int64_t> dims;
    } cases[] = {
        {kDemoModels + "/train_last.onnx", true, {1, 3, 640, 640}},
        {kTestModels + "/constant_boxes.onnx", true, {1, 3, 320, 320}},
        {kTestModels + "/dynamic.onnx", true, {-1, 3, -1, -1}},
        {kTestModels + "/classes.names", false, {}},
        {kTestModels + "/missing.onnx", false, {}},
    };
    for (const auto& c : cases) {
        OnnxInputShape shape;
        std::string why;
        ASSERT_EQ(zrv::engine::ReadOnnxInputShape(c.path, shape, why), c.ok) << c.path << ": " << why;
        if (c.ok) {
            EXPECT_EQ(shape.name, "images");
            EXPECT_EQ(shape.dims, c.dims) << c.path;
        } else {
            EXPECT_FALSE(why.empty());
        }
    }
}

TEST(ModelInputTest, TruncatedOrCorruptGraphsAreRefusedNotMisread) {
    std::ifstream file(kDemoModels + "/train_last.onnx", std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), 1000u);
    for (size_t cut : {size_t{1}, size_t{7}, bytes.size() / 2, bytes.size() - 3}) {
        OnnxInputShape shape;
        std::string why;
        EXPECT_FALSE(zrv::engine::ParseOnnxInputShape(bytes.substr(0, cut), shape, why)) << cut;
    }
    std::string flipped = bytes;
    flipped[1] = '\xff';  // the graph's length runs past the end
    OnnxInputShape shape;
    std::string why;
    EXPECT_FALSE(zrv::engine::ParseOnnxInputShape(flipped, shape, why));
}

TEST(ModelInputTest, RunsAtTheDeclaredSizeOnEveryBackend) {
    const struct {
        std::string path;
        cv::Size inputSize;
        bool note;
    } cases[] = {
        {kDemoModels + "/train_last.onnx", {640, 640}, false},
        {kTestModels + "/constant_boxes.onnx", {320, 320}, false},  // would also run at 640
        {kTestModels + "/dynamic.onnx", {640, 640}, true},
    };
    for (const auto kind : {zrv::engine::BackendKind::OpenVino, zrv::engine::BackendKind::OpenCv}) {
        if (!zrv::engine::BackendAvailable(kind)) continue;
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(zrv::engine::BackendName(kind)) + " " + c.path);
            zrv::engine::DetectionModel model(kind);
            std::string why, note;
            ::testing::internal::CaptureStderr();
            ::testing::internal::CaptureStdout();
            ASSERT_TRUE(model.Load(c.path, 1, why, note)) << why;
            EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << "the runtime printed while loading";
            EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << "the runtime printed while loading";
            EXPECT_EQ(model.inputSize(), c.inputSize);
            EXPECT_EQ(!note.empty(), c.note) << note;
            if (c.note) {
                EXPECT_NE(note.find("leaves its size open; running at 640 x 640"), std::string::npos) << note;
            }
        }
    }
}

TEST(ModelInputTest, OpenAxesTakeTheSizeTheExportRecorded) {
    const struct {
        std::vector<int64_t> dims;
        int64_t metadataHeight, metadataWidth;
        bool ok;
        cv::Size input;
        const char* note;
    } cases[] = {
        {{1, 3, 384, 640}, 0, 0, true, {640, 384}, ""},
        {{-1, 3, -1, -1}, 384, 640, true, {640, 384}, "the size its export recorded"},
        {{-1, 3, -1, -1}, 0, 0, true, {640, 640}, "recorded no size"},
        {{}, 0, 0, true, {640, 640}, "recorded no size"},  // no shape declared at all
        {{1, 3, 16, 16}, 0, 0, false, {}, ""},
        {{1, 3, 9000, 640}, 0, 0, false, {}, ""},
        {{1, 3, 640}, 0, 0, false, {}, ""},
        {{1, 1, 640, 640}, 0, 0, false, {}, ""},
        {{4, 3, 640, 640}, 0, 0, false, {}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.dims));
        zrv::engine::OnnxGraphFacts facts;
        facts.inputCount = 1;
        facts.input.name = "images";
        facts.input.dims = c.dims;
        facts.metadataHeight = c.metadataHeight;
        facts.metadataWidth = c.metadataWidth;
        cv::Size input;
        std::string note, why;
        ASSERT_EQ(zrv::engine::ChooseInputSize(facts, input, note, why), c.ok) << why;
        if (!c.ok) continue;
        EXPECT_EQ(input, c.input);
        EXPECT_NE(note.find(c.note), std::string::npos) << note;
        EXPECT_EQ(note.empty(), std::string(c.note).empty()) << note;
    }
}

TEST(ModelInputTest, EngineLoadsSayTheirLoadLineAndOneNoteOnDynamicAxes) {
    std::string error;
    int result = 0;
    Load(kDemoModels, "train_last", "classes.names", &result, &error);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1) << error;
    EXPECT_EQ(error.rfind("ZRVLIB: model 'train_last': task detect (read by its shapes), 1 class (handgun), input "
                          "640x640, precision ",
                          0),
              0u)
        << error;
    Load(kTestModels, "dynamic", "classes.names", &result, &error);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 2) << error;
    EXPECT_NE(error.find("leaves its size open"), std::string::npos) << error;
    EXPECT_NE(error.find("\nZRVLIB: model 'dynamic': task detect"), std::string::npos) << error;
}

TEST(ModelInputTest, SuppressionMeasuresTheBoxesAsDecoded) {
    // The model answers two pairs of 10 x 10 boxes (see generate_models.py): the first
    // overlaps with IoU 0.49 (0.54 once rounded), the second with 0.52 (0.43 rounded).
    Engine engine = Load(kTestModels, "constant_boxes", "classes.names");
    const cv::Mat image(320, 320, CV_8UC3, cv::Scalar::all(90));  // scale 1, no padding
    std::vector<ZORAVELIN::Object> found;
    ASSERT_EQ(engine->RunInference(image, "cam", found), 1);
    std::vector<cv::Rect> boxes;
    for (const auto& o : found) boxes.push_back(o.box);
    const std::vector<cv::Rect> expected{{11, 10, 10, 10}, {14, 10, 10, 10}, {100, 50, 10, 10}};
    std::sort(boxes.begin(), boxes.end(), [](auto& a, auto& b) { return a.x < b.x; });
    EXPECT_EQ(boxes, expected) << "both boxes under IoU 0.5 stay, the pair over it keeps the better";
}
