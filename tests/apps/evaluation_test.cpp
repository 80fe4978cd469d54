// Scoring a run against a ground truth, on a small case scored by hand, and ground-truth
// files with mistakes.
#include <gtest/gtest.h>

#include "evaluation/ground_truth.h"
#include "evaluation/scorer.h"

using namespace weapon_detect;

namespace {
CustomObject At(int x, int y, int w, int h) {
    CustomObject d;
    d.box = cv::Rect(x, y, w, h);
    return d;
}
}  // namespace

TEST(EvaluationTest, SmallCaseScoredByHand) {
    // Track 1 labelled in frames 1-4, track 2 in frames 3-4; ten frames at 10 fps.
    const GroundTruth truth = ParseGroundTruth(
        "1,1,10,10,20,20,1,1,1\n2,1,10,10,20,20,1,1,1\n3,1,10,10,20,20,1,1,1\n4,1,10,10,20,20,1,1,1\n"
        "3,2,100,100,10,10,1,1,1\n4,2,100,100,10,10,1,1,1\n# a comment\n\n5,3,1,1,5,5,0,1,1\n",
        "hand.txt");
    Scorer scorer(truth, 10.0);
    scorer.Frame(0, {});
    scorer.Frame(1, {At(12, 10, 20, 20), At(300, 300, 10, 10)});   // IoU 0.82: found; one false
    scorer.Frame(2, {At(100, 100, 10, 10), At(50, 50, 5, 5)});      // track 2 found; one false
    scorer.Frame(3, {At(10, 10, 20, 20), At(104, 100, 10, 10)});    // both found (IoU 1 and 0.43)
    for (int i = 4; i < 10; ++i) scorer.Frame(i, {});
    scorer.Event(1, 3);  // over frames with true detections
    scorer.Event(7, 8);  // over none: a false alarm
    scorer.FramesRead(10, true);
    const Score s = scorer.Finish();
    EXPECT_EQ(s.truePositives, 4);
    EXPECT_EQ(s.falsePositives, 2);
    EXPECT_DOUBLE_EQ(s.precision(), 4.0 / 6.0);
    EXPECT_EQ(s.labels, 6) << "the line with conf 0 is ignored";
    EXPECT_EQ(s.labelsFound, 4);
    EXPECT_DOUBLE_EQ(s.recall(), 4.0 / 6.0);
    EXPECT_EQ(s.events, 2);
    EXPECT_EQ(s.eventsMatched, 1);
    EXPECT_DOUBLE_EQ(s.falseAlarmsPerHour(), 3600.0) << "one false alarm in one second of video";
    EXPECT_EQ(s.tracks, 2);
    EXPECT_EQ(s.tracksFound, 2);
    EXPECT_DOUBLE_EQ(s.meanDelay, 0.05);
    EXPECT_DOUBLE_EQ(s.worstDelay, 0.1);
    const auto record = Scorer::Record("door", s);
    EXPECT_EQ(record["type"], "evaluation");
    EXPECT_EQ(record["precision"], 0.6667);
}

TEST(EvaluationTest, MistakesInTheGroundTruthNameTheLine) {
    const struct {
        const char* text;
        const char* message;
    } cases[] = {
        {"1,1,10,10,20,20\n2,1,10,10\n", "gt.txt:2: has 4 columns"},
        {"1,1,10,ten,20,20\n", "gt.txt:1: column 4 is not a number: 'ten'"},
        {"0,1,10,10,20,20\n", "gt.txt:1: frame 0 is not a whole number from 1"},
        {"1.5,1,10,10,20,20\n", "gt.txt:1: frame 1.5"},
        {"1,1,10,10,0,20\n", "gt.txt:1: the box has no area"},
        {"1,1,10,10,20,0.4\n", "gt.txt:1: the box has no area"},
        {"1,1,10,10,20,nan\n", "gt.txt:1: column 6 is not a number"},
        {"1,1,1e300,10,20,20\n", "gt.txt:1: column 3 (1e300) is beyond any frame"},
        {"1,1,10,10,1e12,20\n", "gt.txt:1: column 5 (1e12) is beyond any frame"},
        {"1,1,10,-3e9,20,20\n", "gt.txt:1: column 4 (-3e9) is beyond any frame"},
        {"1,1e10,10,10,20,20\n", "gt.txt:1: track id 1e10 is out of range"},
        {"\xEF\xBB\xBF" "1,1,10,10,20,20\n2,1,x,10,20,20\n", "gt.txt:2: column 3 is not a number"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        try {
            ParseGroundTruth(c.text, "gt.txt");
            ADD_FAILURE() << "accepted";
        } catch (const GroundTruthError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
    // Frames beyond the video: known once the frames are counted.
    Scorer scorer(ParseGroundTruth("1,1,0,0,5,5\n\n12,1,0,0,5,5\n", "gt.txt"), 25.0);
    scorer.FramesRead(10, false);
    EXPECT_NO_THROW(scorer.Finish()) << "a run stopped early or limited has not seen the whole video";
    scorer.FramesRead(10, true);
    try {
        scorer.Finish();
        ADD_FAILURE() << "accepted";
    } catch (const GroundTruthError& e) {
        EXPECT_NE(std::string(e.what()).find("gt.txt:3: frame 12 is beyond the video's 10 frames"), std::string::npos)
            << e.what();
    }
}
