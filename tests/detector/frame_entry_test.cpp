// The frame entry: the frame test, the choice of area step, the threshold filter, the
// conversion for the host, the lock and the exception rules.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "support/detector_fixture.h"

using FrameEntryTest = DetectorTest;
using scripted::Detection;
using scripted::Op;

namespace {
// A person holding whatever the weapon model reports near the frame's top centre.
ZORAVELIN::Object Holder() { return Detection({400, 0, 400, 400}, 0.9f, 0, "person"); }
}  // namespace

TEST_F(FrameEntryTest, FramesThatCannotBeAnalysedAreTurnedAwayWithOneNotePerCamera) {
    const struct {
        const char* what;
        cv::Mat frame;
        bool initialised;
        bool processed;
        const char* note;  // the line on the error stream, at the first such frame only
    } cases[] = {
        {"10 x 10", Frame(10, 10), true, true, ""},
        {"grey", cv::Mat(100, 100, CV_8UC1, cv::Scalar(7)), true, true, ""},
        {"BGRA", cv::Mat(100, 100, CV_8UC4, cv::Scalar::all(7)), true, true, ""},
        {"16-bit", cv::Mat(100, 100, CV_16UC3, cv::Scalar::all(7)), true, true, "16-bit frames are scaled"},
        {"float", cv::Mat(100, 100, CV_32FC3, cv::Scalar::all(0.5)), true, false, "frames of type CV_32FC3"},
        {"double grey", cv::Mat(100, 100, CV_64FC1, cv::Scalar(0.5)), true, false, "frames of type CV_64FC1"},
        {"2 channels", cv::Mat(100, 100, CV_8UC2, cv::Scalar::all(7)), true, false, "frames of type CV_8UC2"},
        {"signed", cv::Mat(100, 100, CV_8SC3, cv::Scalar::all(7)), true, false, "frames of type CV_8SC3"},
        {"5 channels", cv::Mat(100, 100, CV_8UC(5)), true, false, "frames of type CV_8UC5"},
        {"9 columns", Frame(9, 100), true, false, "frames smaller than 10 x 10"},
        {"9 rows", Frame(100, 9), true, false, "frames smaller than 10 x 10"},
        {"empty", cv::Mat(), true, false, "empty frames"},
        {"uninitialised", Frame(640, 480), false, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ZRVCustomWDTestAccess a = FreshDetector();
        if (c.initialised) {
            ASSERT_TRUE(Init());
        }
        a.area() = cv::Rect(1, 2, 3, 4);
        a.areaActive() = true;
        a.noDetectionCount() = 5;
        a.confirmationCount() = 6;
        ::testing::internal::CaptureStderr();
        EXPECT_TRUE(detector->RunInference(c.frame, "c").empty());
        const std::string first = ::testing::internal::GetCapturedStderr();
        if (*c.note) {
            EXPECT_NE(first.find(std::string("camera 'c': ") + c.note), std::string::npos) << first;
            EXPECT_EQ(std::count(first.begin(), first.end(), '\n'), 1) << first;
        } else {
            EXPECT_EQ(first, "");
        }
        if (c.processed) {
            EXPECT_EQ(a.currentPriority(), 1);
            EXPECT_EQ(a.noDetectionCount(), 6) << "searched, then the rule for the empty frame";
        } else {
            EXPECT_EQ(a.area(), cv::Rect(1, 2, 3, 4));
            EXPECT_EQ(a.noDetectionCount(), 5);
            EXPECT_EQ(a.confirmationCount(), 6);
            EXPECT_EQ(a.currentPriority(), 0);
            EXPECT_TRUE(scripted::callsOf(Op::RunInference).empty());
        }
        // Said once per camera: the next such frame is quiet, another camera hears it too.
        ::testing::internal::CaptureStderr();
        detector->RunInference(c.frame, "c");
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
        ::testing::internal::CaptureStderr();
        detector->RunInference(c.frame, "other");
        EXPECT_EQ(::testing::internal::GetCapturedStderr().empty(), !*c.note);
    }
}

TEST_F(FrameEntryTest, AreaSizeChoosesBetweenTrackingAndSearch) {
    const struct {
        cv::Rect area;
        bool tracked;
    } cases[] = {{{100, 100, 51, 51}, true}, {{100, 100, 50, 200}, false}, {{100, 100, 200, 50}, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.area);
        ZRVCustomWDTestAccess a = FreshDetector();
        ASSERT_TRUE(Init());
        a.area() = c.area;
        detector->RunInference(Frame(1920, 1080));
        const auto call = scripted::callsOf(Op::RunInference, scripted::kWeapon).at(0);
        EXPECT_EQ(cv::Rect(call.offset, call.imageSize),
                  c.tracked ? c.area : cv::Rect(480, 0, 480, 540));
    }
}

TEST_F(FrameEntryTest, ThresholdFilterAndConversion) {
    const struct {
        float threshold, confidence;
        bool returned;
        const char* extraInfo;
    } cases[] = {
        {0.5f, 0.5f, true, "Detection Score Threshold:0.500000"},
        {0.5f, std::nextafter(0.5f, 0.0f), false, ""},
        {0.35f, 0.9f, true, "Detection Score Threshold:0.350000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.threshold << " " << c.confidence);
        ZRVCustomWDTestAccess a = FreshDetector();
        ASSERT_TRUE(Init(c.threshold));
        Object weapon = Detection({10, 20, 30, 40}, c.confidence, 3, "rifle");
        weapon.auxId = 42;
        weapon.auxList = {1, 2};
        weapon.auxMat = cv::Mat::ones(2, 2, CV_8U);
        weapon.auxValues = {0.5f};
        weapon.extraInfo = "engine text";
        weapon.cameraId = "engine camera";
        scripted::script().detections[scripted::kWeapon] = {{weapon}};
        scripted::script().detections[scripted::kPerson] = {{Holder()}};
        const auto results = detector->RunInference(Frame(1920, 1080));
        if (!c.returned) {
            EXPECT_TRUE(results.empty());
            EXPECT_EQ(a.noDetectionCount(), 1) << "the rule runs once for the frame";
            continue;
        }
        ASSERT_EQ(results.size(), 1u);
        const CustomObject& r = results[0];
        EXPECT_EQ(r.classId, 3);
        EXPECT_EQ(r.className, "rifle");
        EXPECT_EQ(r.confidence, c.confidence);
        EXPECT_EQ(r.box, cv::Rect(490, 20, 30, 40));
        EXPECT_EQ(r.cameraId, "CustomCam");
        EXPECT_EQ(r.extraInfo, c.extraInfo);
        EXPECT_EQ(r.auxId, 0);
        EXPECT_TRUE(r.auxList.empty());
        EXPECT_TRUE(r.auxMat.empty());
        EXPECT_TRUE(r.auxGpuMat.empty());
        EXPECT_TRUE(r.auxValues.empty());
    }
}

TEST_F(FrameEntryTest, OneArgumentFormIsTheCustomCamCall) {
    ASSERT_TRUE(Init());
    detector->RunInference(Frame(640, 480));
    EXPECT_EQ(scripted::callsOf(Op::RunInference, scripted::kWeapon).at(0).cameraId, "CustomCam");
}

TEST_F(FrameEntryTest, LockIsHeldForTheWholeCall) {
    ASSERT_TRUE(Init());
    bool lockedElsewhere = true;
    scripted::script().detectResponder[scripted::kWeapon] = [&](const scripted::Call&) {
        std::thread probe([&] {
            lockedElsewhere = !access.mutex().try_lock();
            if (!lockedElsewhere) access.mutex().unlock();
        });
        probe.join();
        return std::vector<Object>{};
    };
    detector->RunInference(Frame(640, 480));
    EXPECT_TRUE(lockedElsewhere);
}

TEST_F(FrameEntryTest, ExceptionRules) {
    ASSERT_TRUE(Init());
    auto lockIsFree = [&] {
        bool free = false;
        std::thread probe([&] {
            free = access.mutex().try_lock();
            if (free) access.mutex().unlock();
        });
        probe.join();
        return free;
    };
    // A standard exception from the engine: an empty list, the rule not applied.
    access.area() = cv::Rect(0, 0, 300, 300);
    access.areaActive() = true;
    scripted::script().throws[{Op::RunInference, scripted::kWeapon}] = scripted::Throw::Standard;
    EXPECT_TRUE(detector->RunInference(Frame(640, 480)).empty());
    EXPECT_EQ(access.noDetectionCount(), 0);
    EXPECT_TRUE(lockIsFree());

    // Any other exception reaches the host, with the lock released.
    scripted::script().throws[{Op::RunInference, scripted::kWeapon}] = scripted::Throw::NonStandard;
    EXPECT_ANY_THROW(detector->RunInference(Frame(640, 480)));
    EXPECT_TRUE(lockIsFree());

    // An OpenCV error inside the area step is a standard exception too.
    scripted::script().detectResponder[scripted::kWeapon] = [](const scripted::Call&) -> std::vector<Object> {
        cv::Mat().reshape(3, 7);
        return {};
    };
    EXPECT_TRUE(detector->RunInference(Frame(640, 480)).empty());
    EXPECT_TRUE(lockIsFree());
}

TEST_F(FrameEntryTest, ReleaseWaitsForAFrameInProgress) {
    ASSERT_TRUE(Init());
    std::atomic<bool> released{false};
    std::atomic<pid_t> otherThread{0};
    bool releasedDuringFrame = true;
    bool otherBlocked = false;
    std::thread other;
    scripted::script().detectResponder[scripted::kWeapon] = [&](const scripted::Call&) {
        other = std::thread([&] {
            otherThread = CurrentThreadId();
            detector->Destroy();
            released = true;
        });
        // Handshake: the other thread has reached Destroy and is asleep in it (or, if the
        // lock failed to hold it, has already released the engines).
        otherBlocked = WaitUntilAsleepOrDone(otherThread, released);
        releasedDuringFrame = released;
        return std::vector<Object>{};
    };
    detector->RunInference(Frame(640, 480));
    other.join();
    EXPECT_TRUE(otherBlocked) << "the other thread never reached Destroy";
    EXPECT_FALSE(releasedDuringFrame);
    EXPECT_TRUE(released);
    EXPECT_EQ(access.detector(), nullptr);
}
