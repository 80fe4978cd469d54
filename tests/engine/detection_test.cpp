// Real detection through the engine interface on the demo models.
#include <cstdlib>

#include "engine_fixture.h"

using namespace engine_test;

namespace {
void ExpectNear(const cv::Rect& actual, const cv::Rect& truth, int tolerance) {
    EXPECT_NEAR(actual.x, truth.x, tolerance) << actual << " vs " << truth;
    EXPECT_NEAR(actual.y, truth.y, tolerance) << actual << " vs " << truth;
    EXPECT_NEAR(actual.br().x, truth.br().x, tolerance) << actual << " vs " << truth;
    EXPECT_NEAR(actual.br().y, truth.br().y, tolerance) << actual << " vs " << truth;
}
}  // namespace

TEST(EngineDetectionTest, FindsObjectsWhereTheyAreAtSeveralAspectRatios) {
    for (const char* model : {"train_last", "objectness"}) {
        const std::string folder = std::string(model) == "train_last" ? kDemoModels : kTestModels;
        std::string labels;
        int result = 0;
        Engine engine = Load(folder, model, "classes.names", &result, nullptr, &labels);
        ASSERT_EQ(result, 1) << model;
        EXPECT_EQ(labels, "0 handgun\n");
        const struct {
            cv::Size image;
            std::vector<cv::Rect> objects;
        } cases[] = {
            {{640, 640}, {{100, 200, 36, 17}, {300, 100, 100, 60}}},
            {{480, 540}, {{50, 60, 32, 14}, {300, 400, 120, 40}}},
            {{1280, 480}, {{900, 200, 60, 30}}},
            {{300, 900}, {{100, 700, 80, 40}}},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(::testing::Message() << model << " " << c.image);
            cv::Mat image = Background(c.image.width, c.image.height);
            for (const auto& box : c.objects) cv::rectangle(image, box, kWeaponColour, cv::FILLED);
            std::vector<ZORAVELIN::Object> found;
            EXPECT_EQ(engine->RunInference(image, "cam", found), 1);
            ASSERT_EQ(found.size(), c.objects.size()) << "duplicates must be suppressed";
            for (const auto& truth : c.objects) {
                const auto it = std::find_if(found.begin(), found.end(), [&](const auto& o) {
                    return (o.box & truth).area() > 0;
                });
                ASSERT_NE(it, found.end());
                ExpectNear(it->box, truth, 3);
                EXPECT_EQ(it->className, "handgun");
                EXPECT_EQ(it->classId, 0);
                EXPECT_GT(it->confidence, 0.5f);
            }
        }
    }
}

TEST(EngineDetectionTest, ViewsOfALargerFrameGiveBoxesInTheViewsPixels) {
    Engine engine = Load(kDemoModels, "train_last", "classes.names");
    cv::Mat frame = Background(1920, 1080);
    const cv::Rect weapon(1000, 600, 32, 14);
    cv::rectangle(frame, weapon, kWeaponColour, cv::FILLED);
    for (const cv::Rect view : {cv::Rect(785, 375, 480, 480), cv::Rect(960, 540, 480, 540)}) {
        SCOPED_TRACE(view);
        std::vector<ZORAVELIN::Object> found;
        engine->RunInference(frame(view), "cam", found);
        ASSERT_EQ(found.size(), 1u);
        ExpectNear(found[0].box, weapon - view.tl(), 2);
    }
}

TEST(EngineDetectionTest, PersonModelFindsPersonsOnAWholeFrame) {
    std::string labels;
    Engine engine = Load(kDemoModels, "filter", "filter.names", nullptr, nullptr, &labels);
    EXPECT_EQ(labels, "0 person\n");
    cv::Mat frame = Background(1920, 1080);
    const cv::Rect person(700, 500, 70, 190);
    cv::rectangle(frame, person, kPersonColour, cv::FILLED);
    cv::rectangle(frame, cv::Rect(100, 100, 32, 14), kWeaponColour, cv::FILLED);
    std::vector<ZORAVELIN::Object> found;
    engine->RunInference(frame, "cam", found);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].className, "person");
    ExpectNear(found[0].box, person, 6);  // a third of the resolution on a whole frame
}

TEST(EngineDetectionTest, NothingToFindOrNothingLoaded) {
    Engine engine = Load(kDemoModels, "train_last", "classes.names");
    std::vector<ZORAVELIN::Object> found(1);
    engine->RunInference(Background(640, 480), "cam", found);
    EXPECT_TRUE(found.empty());
    found.resize(1);
    engine->RunInference(cv::Mat(), "cam", found);
    EXPECT_TRUE(found.empty());

    Engine unloaded(ZORAVELIN::ZRVLIB::Create());
    found.resize(1);
    EXPECT_EQ(unloaded->RunInference(Background(640, 480), "cam", found), 0);
    EXPECT_TRUE(found.empty());
    EXPECT_EQ(unloaded->Optimize(true), 0);
    EXPECT_EQ(engine->Optimize(true), 1);
    EXPECT_EQ(unloaded->GetEngineType() == 1, cv::cuda::getCudaEnabledDeviceCount() > 0);
}

TEST(EngineDetectionTest, PixelTypesAreConvertedOrTurnedAway) {
    Engine engine = Load(kDemoModels, "train_last", "classes.names");
    cv::Mat bgr = Background(640, 480);
    const cv::Rect truth(200, 150, 40, 20);
    cv::rectangle(bgr, truth, kWeaponColour, cv::FILLED);
    cv::Mat bgra, wide, floating;
    cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
    bgr.convertTo(wide, CV_16U, 257.0);  // full 16-bit range
    bgr.convertTo(floating, CV_32F, 1.0 / 255.0);
    const struct {
        const char* what;
        cv::Mat image;
        bool found;
    } cases[] = {
        {"BGR", bgr, true}, {"BGRA", bgra, true}, {"16-bit BGR", wide, true}, {"float", floating, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<ZORAVELIN::Object> found;
        engine->RunInference(c.image, "cam", found);
        ASSERT_EQ(found.size(), c.found ? 1u : 0u);
        if (c.found) ExpectNear(found[0].box, truth, 3);
        // Motion takes the same types: a first look reports nothing and does not fail.
        EXPECT_EQ(engine->DetectMovement(c.image, c.what, found), 1);
    }
}

// An export that answers NaN or infinity gives no detection, and says so once per load
// rather than staying silent; a reload says it again.
TEST(EngineDetectionTest, NanOrInfiniteOutputsAreSaidOncePerLoad) {
    for (const char* model : {"nan_output", "infinite_output"}) {
        SCOPED_TRACE(model);
        std::vector<std::string> lines;
        ZRVLIB_SetMessageSink([](const char* line,
                                 void* context) { static_cast<std::vector<std::string>*>(context)->push_back(line); },
                              &lines);
        Engine engine(ZORAVELIN::ZRVLIB::Create());
        std::string labels;
        for (int load = 0; load < 2; ++load) {
            ASSERT_EQ(zrv::testing::LoadModel(*engine, kTestModels, model, "classes.names", labels), 1);
            for (int frame = 0; frame < 3; ++frame) {
                std::vector<ZORAVELIN::Object> found;
                EXPECT_EQ(engine->RunInference(Background(640, 480), "cam", found), 1);
                EXPECT_TRUE(found.empty());
            }
        }
        ZRVLIB_SetMessageSink(nullptr, nullptr);
        const std::string said = "ZRVLIB: model '" + std::string(model) +
                                 "': its output holds NaN or infinite values (4 of 4 anchors in this image); those "
                                 "anchors give no detection (said once per load)";
        const std::string loaded = "ZRVLIB: model '" + std::string(model) +
                                   "': task detect (read by its shapes), 1 class (handgun), input 320x320, precision ";
        ASSERT_EQ(lines.size(), 4u);
        for (size_t i : {0, 2}) EXPECT_EQ(lines[i].rfind(loaded, 0), 0u) << lines[i];
        EXPECT_EQ(lines[1], said);
        EXPECT_EQ(lines[3], said);
    }
}
