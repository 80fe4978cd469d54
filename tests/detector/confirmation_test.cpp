// Person confirmation: the counter rule and the weapon-held-by-person test.
#include "support/detector_fixture.h"

using ConfirmationTest = DetectorTest;
using scripted::Detection;
using scripted::Op;

namespace {
const cv::Rect kPerson(900, 400, 80, 200);
const cv::Rect kWeaponInside(930, 480, 25, 15);  // a handgun held inside the person's box
const cv::Rect kWeaponAway(100, 100, 25, 15);
}  // namespace

TEST_F(ConfirmationTest, CounterRule) {
    enum Persons { Nobody, Away, Holding, NoFilter };
    const struct {
        int count;
        Persons persons;
        bool accepted;
        int countAfter;
    } cases[] = {
        {0, Away, false, 0},     {3, Away, false, 2},     {4, Nobody, false, 5},
        {5, Nobody, true, 6},    {0, Nobody, false, 1},   {0, Holding, true, 1},
        {10, Holding, true, 11}, {10, Away, false, 9},    {11, Away, true, 11},
        {11, Nobody, true, 11},  {0, NoFilter, true, 0},  {7, NoFilter, true, 7},
    };
    const cv::Mat frame = Frame(1920, 1080);
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "count " << c.count << " persons " << c.persons);
        scripted::Reset();
        ZRVCustomWD wd;
        ZRVCustomWDTestAccess a(wd);
        std::string labels;
        ::testing::internal::CaptureStdout();
        wd.Initialize("m", 0.5f, labels);
        ::testing::internal::GetCapturedStdout();
        if (c.persons == NoFilter) a.dropFilter();
        std::vector<Object> persons;
        if (c.persons == Away) persons = {Detection({0, 0, 50, 50}, 0.9f)};
        if (c.persons == Holding) persons = {Detection({0, 0, 50, 50}, 0.9f), Detection(kPerson, 0.9f)};
        const bool present = !persons.empty() || c.persons == NoFilter;

        a.confirmationCount() = c.count;
        a.area() = cv::Rect(0, 0, 0, 0);
        a.areaActive() = false;
        a.noDetectionCount() = 12;
        Object weapon = Detection(kWeaponInside, 0.9f);
        std::vector<Object> results;
        EXPECT_EQ(a.confirm(frame, weapon, results, persons, present), c.accepted);
        EXPECT_EQ(a.confirmationCount(), c.countAfter);
        EXPECT_EQ(results.size(), c.accepted ? 1u : 0u);
        if (c.accepted) {
            EXPECT_EQ(results[0].box, kWeaponInside);
            EXPECT_EQ(a.area(), cv::Rect(702, 247, 480, 480)) << "re-centred on the weapon";
            EXPECT_TRUE(a.areaActive());
            EXPECT_EQ(a.noDetectionCount(), 0);
        } else {
            EXPECT_EQ(a.area(), cv::Rect(0, 0, 0, 0));
            EXPECT_EQ(a.noDetectionCount(), 12) << "a dropped candidate changes nothing else";
        }
    }
}

TEST_F(ConfirmationTest, PersonsPresentWithAnEmptyListDecrements) {
    ASSERT_TRUE(Init());
    access.confirmationCount() = 3;
    Object weapon = Detection(kWeaponInside, 0.9f);
    std::vector<Object> results;
    EXPECT_FALSE(access.confirm(Frame(1920, 1080), weapon, results, {}, true));
    EXPECT_EQ(access.confirmationCount(), 2);
}

TEST_F(ConfirmationTest, WeaponHeldInsideAPersonsBoxOverlapsThatPerson) {
    ASSERT_TRUE(Init());
    const cv::Mat frame = Frame(1920, 1080);
    const cv::Rect person(0, 0, 400, 400);
    // Weapon boxes of 20 x 10 = 200 pixels against a large person box.
    const struct {
        cv::Rect weapon;
        bool held;
    } cases[] = {
        {{100, 100, 20, 10}, true},   // wholly inside: intersection over union is only 1/800
        {{390, 100, 20, 10}, true},   // half inside
        {{389, 399, 20, 10}, true},   // 11 of 200 pixels inside: just above 5 %
        {{390, 399, 20, 10}, false},  // 10 of 200 pixels inside: exactly 5 %, not more
        {{500, 500, 20, 10}, false},  // outside
        {{100, 100, 0, 10}, false},   // no area
        {{100, 100, 20, -10}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.weapon);
        access.confirmationCount() = 2;
        Object weapon = Detection(c.weapon, 0.9f);
        std::vector<Object> results;
        EXPECT_EQ(access.confirm(frame, weapon, results, {Detection(person, 0.9f)}, true), c.held);
        EXPECT_EQ(access.confirmationCount(), c.held ? 3 : 1);
    }
}

TEST_F(ConfirmationTest, PersonModelRunsOnTheFullFrameAndKeepsClassZero) {
    ASSERT_TRUE(Init());
    scripted::script().detections[scripted::kPerson] = {
        {Detection({1, 2, 3, 4}, 0.9f, 0, "person"), Detection({5, 6, 7, 8}, 0.8f, 2, "car"),
         Detection({9, 10, 11, 12}, 0.7f, 0, "person")}};
    const cv::Mat frame = Frame(1280, 720);
    const auto persons = access.persons(frame);
    ASSERT_EQ(persons.size(), 2u);
    EXPECT_EQ(persons[0].box, cv::Rect(1, 2, 3, 4));
    EXPECT_EQ(persons[1].box, cv::Rect(9, 10, 11, 12));
    auto calls = scripted::callsOf(Op::RunInference, scripted::kPerson);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].cameraId, "cam");
    EXPECT_EQ(calls[0].imageSize, cv::Size(1280, 720));
    EXPECT_EQ(calls[0].imageData, frame.data) << "the frame is handed over, not copied";

    // A car overlapping the weapon is no person.
    scripted::script().detections[scripted::kPerson] = {{Detection(kWeaponInside, 0.9f, 2, "car")}};
    const auto onlyCars = access.persons(frame);
    EXPECT_TRUE(onlyCars.empty());

    access.dropFilter();
    EXPECT_TRUE(access.persons(frame).empty());
    EXPECT_EQ(scripted::callsOf(Op::RunInference, scripted::kPerson).size(), 2u);
}
