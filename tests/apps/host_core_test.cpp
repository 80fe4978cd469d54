// Parts of the host program on their own: alarm events from detections over stream time,
// camera ids spelt as file names, and the refusal of outputs that clash with inputs or each
// other.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "alarm_events.h"
#include "output/output_file.h"
#include "output/output_paths.h"
#include "read_files.h"

namespace fs = std::filesystem;
using namespace weapon_detect;

namespace {

CustomObject Detection(float confidence) {
    CustomObject d;
    d.className = "pistol";
    d.confidence = confidence;
    d.box = cv::Rect(10, 10, 20, 20);
    return d;
}

}  // namespace

TEST(AlarmTracker, EventsStartImproveAndEndAfterTheQuietTime) {
    // One frame each: its time, its detection's confidence (0: none), and what it must change.
    const struct Step {
        double time;
        float confidence;
        bool started, improved;
        std::optional<long long> endedFirstFrame;  // the first frame of the event it ends
    } steps[] = {
        {0.0, 0.0f, false, false, {}},  // nothing yet
        {1.0, 0.6f, true, false, {}},   // frame 1 starts an event
        {1.5, 0.5f, false, false, {}},  // weaker: the event goes on, not improved
        {2.0, 0.9f, false, true, {}},   // stronger: improved
        {4.0, 0.0f, false, false, {}},  // exactly the quiet time after 2.0: still open
        {4.1, 0.0f, false, false, 1},   // beyond it: ended
        {5.0, 0.7f, true, false, {}},   // frame 6 starts the next
        {10.0, 0.8f, true, false, 6},   // a detection after the quiet time ends it and starts anew
    };
    AlarmTracker tracker(2.0);
    const cv::Mat frame(48, 64, CV_8UC3, cv::Scalar::all(0));
    for (size_t i = 0; i < std::size(steps); ++i) {
        const Step& s = steps[i];
        SCOPED_TRACE("frame " + std::to_string(i));
        std::vector<CustomObject> detections;
        if (s.confidence > 0) detections.push_back(Detection(s.confidence));
        const AlarmChanges changes = tracker.Update(static_cast<long long>(i), s.time, detections, frame);
        EXPECT_EQ(changes.started, s.started);
        EXPECT_EQ(changes.improved, s.improved);
        ASSERT_EQ(changes.ended.has_value(), s.endedFirstFrame.has_value());
        if (changes.ended) {
            EXPECT_EQ(changes.ended->firstFrame, *s.endedFirstFrame);
        }
    }
    // The first event as it ended: its span, count and best detection.
    AlarmTracker again(2.0);
    std::optional<AlarmEvent> first;
    for (size_t i = 0; i < 6; ++i) {
        std::vector<CustomObject> detections;
        if (steps[i].confidence > 0) detections.push_back(Detection(steps[i].confidence));
        auto changes = again.Update(static_cast<long long>(i), steps[i].time, detections, frame);
        if (changes.ended) first = changes.ended;
    }
    ASSERT_TRUE(first);
    EXPECT_EQ(first->startTime, 1.0);
    EXPECT_EQ(first->endTime, 2.0);
    EXPECT_EQ(first->lastFrame, 3);
    EXPECT_EQ(first->detections, 3);
    EXPECT_FLOAT_EQ(first->bestConfidence, 0.9f);
    EXPECT_FALSE(first->bestFrame.empty()) << "the best frame is kept, box drawn";
    EXPECT_EQ(again.open(), nullptr);

    // The end of the stream ends the open event.
    const std::vector<CustomObject> one = {Detection(0.5f)};
    again.Update(10, 20.0, one, frame);
    const auto last = again.Finish();
    ASSERT_TRUE(last);
    EXPECT_EQ(last->firstFrame, 10);
    EXPECT_FALSE(again.Finish());
}

TEST(FileNameFor, CameraIdsBecomeSafeFileNames) {
    const struct {
        std::string id, name;
    } cases[] = {
        {"door", "door"},
        {"Gate-2_b.v1", "Gate-2_b.v1"},
        {"yard/north", "yard_north"},
        {"../../etc/passwd", "_._.._etc_passwd"},
        {".hidden", "_hidden"},
        {"", "camera"},
        {"caf\xe9/#", "caf___"},
        {"a b+c", "a_b_c"},
        {std::string(150, 'x'), std::string(100, 'x')},
        {std::string("nul\0byte", 8), "nul_byte"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        EXPECT_EQ(FileNameFor(c.id), c.name);
    }
}

TEST(OutputPaths, OutputsNeverReplaceAReadFileOrEachOther) {
    const fs::path dir = fs::temp_directory_path() / ("host_core_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "sub");
    std::ofstream(dir / "input.avi") << "video";
    std::ofstream(dir / "other.jsonl") << "";
    fs::create_hard_link(dir / "input.avi", dir / "hard.avi");
    fs::create_symlink(dir / "other.jsonl", dir / "link.jsonl");
    ProtectedFiles().Add((dir / "input.avi").string());
    const std::string d = dir.string();

    const struct {
        std::string name;
        std::vector<std::string> outputs;
        std::string error;  // empty: accepted
    } cases[] = {
        {"distinct", {d + "/out.jsonl", d + "/snaps", d + "/video.mp4"}, ""},
        {"same path twice", {d + "/out.jsonl", d + "/out.jsonl"}, "output " + d + "/out.jsonl is given twice"},
        {"other spelling, not yet there",
         {d + "/new.mp4", d + "/sub/../new.mp4"},
         "output " + d + "/sub/../new.mp4 is given twice"},
        {"link to another output",
         {d + "/other.jsonl", d + "/link.jsonl"},
         "output " + d + "/link.jsonl is given twice"},
        {"the input",
         {d + "/input.avi"},
         "output " + d + "/input.avi is the input " + d + "/input.avi, which this run reads and never writes"},
        {"a hard link to the input", {d + "/hard.avi"}, "is the input " + d + "/input.avi"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            RefuseClashingPaths(c.outputs);
            EXPECT_EQ(c.error, "") << "accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(c.error, "") << e.what();
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
        }
    }
    fs::remove_all(dir);
}
