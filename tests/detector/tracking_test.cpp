// Tracking of the held area, as streams of frames through the frame entry.
#include <limits>

#include "support/detector_fixture.h"

using scripted::Detection;
using scripted::Op;

namespace {
const cv::Rect kArea(785, 375, 480, 480);      // placed by a weapon at (1000, 600, 50, 30)
const cv::Rect kCandidate(200, 200, 40, 30);   // in crop coordinates
const cv::Rect kMotion(190, 190, 60, 50);      // in crop coordinates, around the candidate
const cv::Rect kPerson(950, 450, 150, 300);    // holds the candidate in frame coordinates

cv::Rect InFrame(cv::Rect crop) { return crop + kArea.tl(); }
}  // namespace

class TrackingTest : public DetectorTest {
protected:
    void SetUp() override {
        DetectorTest::SetUp();
        ASSERT_TRUE(Init());
        access.area() = kArea;
        access.areaActive() = true;
    }
    void Script(std::vector<Object> candidates, std::vector<cv::Rect> motion,
                std::vector<cv::Rect> persons = {kPerson}) {
        scripted::script().detections[scripted::kWeapon].push_back(std::move(candidates));
        std::vector<Object> moving, people;
        for (const auto& box : motion) moving.push_back(Detection(box, 0.0f));
        for (const auto& box : persons) people.push_back(Detection(box, 0.9f, 0, "person"));
        scripted::script().motion.push_back(moving);
        scripted::script().detections[scripted::kPerson].push_back(people);
    }
    const cv::Mat frame = Frame(1920, 1080);
};

TEST_F(TrackingTest, CandidateTestsInOrder) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const struct {
        const char* what;
        Object candidate;
        std::vector<cv::Rect> motion;
        bool accepted;
    } cases[] = {
        {"passes every test", Detection(kCandidate, 0.51f), {kMotion}, true},
        {"score equal to the threshold", Detection(kCandidate, 0.5f), {kMotion}, false},
        {"score not a number", Detection(kCandidate, nan), {kMotion}, false},
        {"fills the area", Detection({0, 0, 480, 480}, 0.9f), {{0, 0, 480, 480}}, false},
        {"just below half the area", Detection({0, 0, 480, 239}, 0.9f), {kMotion}, true},
        {"no motion at all", Detection(kCandidate, 0.9f), {}, false},
        {"motion touching an edge", Detection(kCandidate, 0.9f), {{240, 200, 10, 10}}, false},
        {"second motion box overlaps", Detection(kCandidate, 0.9f), {{0, 0, 5, 5}, kMotion}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        access.area() = kArea;
        access.areaActive() = true;
        access.noDetectionCount() = 0;
        access.confirmationCount() = 0;
        Script({c.candidate}, c.motion);
        const auto results = detector->RunInference(frame, "gate");
        if (c.accepted) {
            ASSERT_EQ(results.size(), 1u);
            EXPECT_EQ(results[0].box, InFrame(c.candidate.box));
            EXPECT_EQ(results[0].cameraId, "gate");
            EXPECT_EQ(access.noDetectionCount(), 0);
            EXPECT_EQ(access.confirmationCount(), 1);
        } else {
            EXPECT_TRUE(results.empty());
            // Once for the rejected candidate, once for the empty frame.
            EXPECT_EQ(access.noDetectionCount(), 2);
            EXPECT_EQ(access.area(), kArea);
        }
    }
}

TEST_F(TrackingTest, EngineCallOrderAndViews) {
    Script({Detection(kCandidate, 0.9f)}, {kMotion});
    detector->RunInference(frame, "gate");
    const auto& calls = scripted::calls();
    std::vector<std::pair<Op, std::string>> order;
    for (size_t i = calls.size() - 3; i < calls.size(); ++i) order.emplace_back(calls[i].op, calls[i].model);
    const std::vector<std::pair<Op, std::string>> expected = {
        {Op::RunInference, scripted::kWeapon},
        {Op::RunInference, scripted::kPerson},
        {Op::DetectMovement, scripted::kWeapon}};
    EXPECT_EQ(order, expected);
    const auto& weapon = calls[calls.size() - 3];
    const auto& person = calls[calls.size() - 2];
    const auto& motion = calls.back();
    for (const auto* crop : {&weapon, &motion}) {
        EXPECT_EQ(cv::Rect(crop->offset, crop->imageSize), kArea);
        EXPECT_EQ(crop->frameData, frame.data);
        EXPECT_EQ(crop->imageData, frame.ptr(kArea.y, kArea.x)) << "a view, not a copy";
        EXPECT_EQ(crop->cameraId, "gate");
    }
    EXPECT_EQ(person.imageData, frame.data);
    EXPECT_EQ(person.cameraId, "cam");

    // Nothing in the crop: neither persons nor motion are looked for.
    const size_t before = calls.size();
    Script({}, {kMotion});
    EXPECT_TRUE(detector->RunInference(frame, "gate").empty());
    ASSERT_EQ(scripted::calls().size(), before + 1);
    EXPECT_EQ(scripted::calls().back().model, scripted::kWeapon);
    EXPECT_EQ(access.noDetectionCount(), 2) << "once for the empty crop, once for the frame";
}

TEST_F(TrackingTest, AreaIsClippedToANewFrameSize) {
    Script({}, {});
    detector->RunInference(Frame(1280, 720));
    EXPECT_EQ(access.area(), cv::Rect(785, 375, 480, 345));
    ASSERT_EQ(scripted::callsOf(Op::RunInference, scripted::kWeapon).size(), 1u);
    const auto call = scripted::callsOf(Op::RunInference, scripted::kWeapon)[0];
    EXPECT_EQ(cv::Rect(call.offset, call.imageSize), cv::Rect(785, 375, 480, 345));

    // An area wholly outside the frame is emptied without any engine call.
    scripted::Reset();
    access.area() = cv::Rect(1440, 600, 480, 480);
    access.noDetectionCount() = 0;
    EXPECT_TRUE(detector->RunInference(Frame(1280, 720)).empty());
    EXPECT_TRUE(scripted::calls().empty());
    EXPECT_EQ(access.area(), cv::Rect(0, 0, 0, 0));
    EXPECT_EQ(access.noDetectionCount(), 2);
}

TEST_F(TrackingTest, TwoCandidatesShareTheCropOrigin) {
    // The first is accepted and re-centres the area; the second is still shifted by the
    // crop's origin and tested against the re-centred area.
    const cv::Rect second(260, 200, 40, 30);
    Script({Detection(kCandidate, 0.9f), Detection(second, 0.8f)}, {{150, 150, 200, 100}},
           {{900, 400, 400, 400}});
    const auto results = detector->RunInference(frame, "gate");
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].box, InFrame(kCandidate));
    EXPECT_EQ(results[1].box, InFrame(second));
    // Re-centred on the second: (1045 + 20 - 240, 575 + 15 - 240).
    EXPECT_EQ(access.area(), cv::Rect(825, 350, 480, 480));
}

TEST_F(TrackingTest, ARejectionBeforeAnAcceptanceResetsTheCounter) {
    access.confirmationCount() = 8;
    Script({Detection(kCandidate, 0.4f), Detection(kCandidate, 0.9f)}, {kMotion}, {});
    // Nobody in view: with the counter at 8 the candidate would be accepted (9 > 5), but
    // the rejection before it resets the counter to 0, so it is judged at 0 and dropped.
    EXPECT_TRUE(detector->RunInference(frame, "gate").empty());
    EXPECT_EQ(access.confirmationCount(), 0);
}

TEST_F(TrackingTest, EightiethApplicationFallsOnARejectedCandidate) {
    access.noDetectionCount() = 78;
    access.confirmationCount() = 11;
    // Rejected (79), rejected (80: released), then one that passes against an empty area.
    Script({Detection(kCandidate, 0.2f), Detection(kCandidate, 0.3f), Detection(kCandidate, 0.9f)},
           {kMotion});
    const auto results = detector->RunInference(frame, "gate");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].box, InFrame(kCandidate));
    // Placed anew on the accepted candidate.
    EXPECT_EQ(access.area(), cv::Rect(765, 350, 480, 480));
    EXPECT_TRUE(access.areaActive());
    EXPECT_EQ(access.noDetectionCount(), 0);
}

TEST_F(TrackingTest, ReleasedAfterRepeatedMissesThenSearches) {
    // Each empty frame applies the rule twice: in tracking and in the frame entry.
    for (int frameIndex = 1; frameIndex <= 40; ++frameIndex) {
        detector->RunInference(frame, "gate");
        if (frameIndex < 40) {
            ASSERT_EQ(access.noDetectionCount(), 2 * frameIndex);
        }
    }
    EXPECT_FALSE(access.areaActive());
    EXPECT_EQ(access.area(), cv::Rect(785, 375, 0, 0));
    EXPECT_EQ(scripted::callsOf(Op::RunInference, scripted::kWeapon).size(), 40u);

    detector->RunInference(frame, "gate");
    const auto last = scripted::callsOf(Op::RunInference, scripted::kWeapon).back();
    EXPECT_EQ(cv::Rect(last.offset, last.imageSize), cv::Rect(480, 0, 480, 540)) << "searching again";
}

TEST_F(TrackingTest, WithoutAPersonModelEverySurvivorIsAccepted) {
    access.dropFilter();
    Script({Detection(kCandidate, 0.9f)}, {kMotion});
    EXPECT_EQ(detector->RunInference(frame, "gate").size(), 1u);
    EXPECT_TRUE(scripted::callsOf(Op::RunInference, scripted::kPerson).empty());
}
