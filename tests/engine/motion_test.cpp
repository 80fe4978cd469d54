// Motion detection on views that move between calls, per camera.
#include "demo/demo_scene.h"
#include "engine/motion_detector.h"
#include "engine_fixture.h"

using namespace engine_test;

namespace {
std::vector<cv::Rect> Motion(ZORAVELIN::ZRVLIB& engine, const cv::Mat& image, const char* camera) {
    std::vector<ZORAVELIN::Object> found;
    engine.DetectMovement(image, camera, found);
    std::vector<cv::Rect> boxes;
    for (const auto& o : found) boxes.push_back(o.box);
    return boxes;
}

cv::Mat SceneWithSquare(cv::Point at) {
    cv::Mat frame = Background(1920, 1080);
    cv::rectangle(frame, cv::Rect(at, cv::Size(40, 40)), cv::Scalar(250, 250, 250), cv::FILLED);
    return frame;
}
}  // namespace

TEST(EngineMotionTest, AMovingSquareIsFoundInTheViewsCoordinates) {
    Engine engine(ZORAVELIN::ZRVLIB::Create());
    // The view follows the square, as the detector's area does.
    for (int i = 0; i < 12; ++i) {
        const cv::Point square(800 + 8 * i, 500);
        const cv::Rect view(square.x - 200 + (i % 3) * 8, 300, 480, 480);
        const cv::Mat frame = SceneWithSquare(square);
        const auto boxes = Motion(*engine, frame(view), "cam");
        if (i == 0) {
            EXPECT_TRUE(boxes.empty()) << "a first look has nothing to compare with";
            continue;
        }
        const cv::Rect truth(square - view.tl(), cv::Size(40, 40));
        ASSERT_FALSE(boxes.empty()) << "frame " << i;
        bool overlaps = false;
        for (const auto& b : boxes) {
            EXPECT_TRUE((b & cv::Rect(0, 0, 480, 480)) == b) << "inside the view";
            if ((b & truth).area() > 0) {
                overlaps = true;
                EXPECT_LT(b.area(), 4 * 60 * 60) << "the region stays near the square";
            }
        }
        EXPECT_TRUE(overlaps) << "frame " << i;
    }
}

TEST(EngineMotionTest, StillSceneSettlesAndCamerasAreSeparate) {
    Engine engine(ZORAVELIN::ZRVLIB::Create());
    const cv::Mat still = SceneWithSquare({500, 500});
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(Motion(*engine, still, "a").empty()) << i;
    // Camera "b" sees a different scene; "a" keeps its own background.
    const cv::Mat other = SceneWithSquare({900, 200});
    EXPECT_TRUE(Motion(*engine, other, "b").empty());
    EXPECT_TRUE(Motion(*engine, still, "a").empty());
    EXPECT_FALSE(Motion(*engine, other, "a").empty()) << "the square moved for camera a";

    // A light switched on changes everything at once: relearned, not reported.
    cv::Mat brighter = still + cv::Scalar::all(60);
    Engine lights(ZORAVELIN::ZRVLIB::Create());
    Motion(*lights, still, "c");
    EXPECT_TRUE(Motion(*lights, brighter, "c").empty());
    EXPECT_TRUE(Motion(*lights, brighter, "c").empty());

    // A new frame size starts the background over.
    EXPECT_TRUE(Motion(*engine, Background(640, 480), "a").empty());
}

TEST(EngineMotionTest, ThousandsOfCameraIdsKeepABoundedState) {
    zrv::engine::MotionDetector motion;
    std::vector<cv::Rect> regions;
    cv::Mat still = Background(1920, 1080);
    cv::Mat moved = SceneWithSquare({900, 500});
    // A camera that keeps coming back keeps its background while thousands of others pass.
    motion.Detect(still, "door", regions);
    for (int i = 0; i < 3000; ++i) {
        motion.Detect(still(cv::Rect(0, 0, 64, 64)), ("stream-" + std::to_string(i)).c_str(), regions);
        ASSERT_LE(motion.cameraCount(), zrv::engine::MotionDetector::kMaxCameras);
        if (i % 8 == 0) motion.Detect(still, "door", regions);
    }
    motion.Detect(moved, "door", regions);
    EXPECT_FALSE(regions.empty()) << "the recent camera was not forgotten";
    // One forgotten long ago starts over: a first look reports nothing.
    motion.Detect(moved, "stream-0", regions);
    EXPECT_TRUE(regions.empty());
}

// The demo scene's weapon (magenta, about as bright as the grey behind it) moves 10 pixels a
// frame inside an area that follows it; a still scene seen through a view that keeps moving
// must show nothing. Both through the engine, as the detector calls it.
TEST(EngineMotionTest, SmallColouredObjectMovesStillSceneDoesNotUnderAMovingView) {
    zrv::demo::DemoScene scene;
    cv::Mat frame;
    Engine moving(ZORAVELIN::ZRVLIB::Create()), still(ZORAVELIN::ZRVLIB::Create());
    int visible = 0, touched = 0, falseMotion = 0;
    for (int i = 0; i < zrv::demo::DemoScene::kFrames; ++i) {
        const auto truth = scene.Render(i, frame);
        if (truth.weaponVisible) {
            const cv::Point centre = (truth.weapon.tl() + truth.weapon.br()) / 2;
            const cv::Rect area(std::clamp(centre.x - 240, 0, frame.cols - 480),
                                std::clamp(centre.y - 240, 0, frame.rows - 480), 480, 480);
            const cv::Rect weapon = truth.weapon - area.tl();
            ++visible;
            for (const auto& box : Motion(*moving, frame(area), "cam")) {
                if ((box & weapon).area() > 0) {
                    ++touched;
                    break;
                }
            }
        }
        if (i < 20) {  // nobody in view yet: a view moving 10 pixels a frame over a still scene
            for (int k = 0; k < 20; ++k) {
                scene.Render(i, frame);
                const cv::Rect view(200 + (i * 20 + k) * 10 % 1200, 300 + k * 7, 480, 480);
                falseMotion += (i * 20 + k > 3) && !Motion(*still, frame(view), "still").empty();
            }
        }
    }
    EXPECT_GE(touched, visible - 3) << "motion touched the weapon in " << touched << " of " << visible << " frames";
    EXPECT_EQ(falseMotion, 0);
}
