// Scores one camera's run against its ground truth: every analysed frame's detections
// against the labelled boxes of that frame (a detection matches a label at an intersection
// over union of at least 0.3, each label at most once), and every alarm event against the
// labels of its frames.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "evaluation/ground_truth.h"
#include "zrv/ZRVCustomClass.h"

namespace weapon_detect {

struct Score {
    long long truePositives = 0, falsePositives = 0, labels = 0, labelsFound = 0;
    long long events = 0, eventsMatched = 0;
    long long tracks = 0, tracksFound = 0;
    double seconds = 0;          // of video analysed
    double meanDelay = 0, worstDelay = 0;  // first labelled frame to first alarm, found tracks
    double precision() const;
    double recall() const;
    double falseAlarmsPerHour() const;
};

class Scorer {
public:
    static constexpr float kMatchIoU = 0.3f;

    Scorer(GroundTruth truth, double fps) : truth_(std::move(truth)), fps_(fps) {}

    // One analysed frame (index from 0) with what the plug-in reported.
    void Frame(long long index, const std::vector<CustomObject>& detections);
    // One alarm event over frames [first, last].
    void Event(long long first, long long last);
    // Frames read in all, analysed or not; `wholeVideo` when the video ended there (not a
    // stop or a frame limit), so that labels beyond it are a mistake of the ground truth.
    void FramesRead(long long frames, bool wholeVideo) {
        framesRead_ = frames;
        wholeVideo_ = wholeVideo;
    }

    // Throws GroundTruthError when the ground truth labels frames beyond the video.
    Score Finish() const;

    static nlohmann::ordered_json Record(const std::string& camera, const Score& score);
    static std::string TableRow(const std::string& camera, const Score& score);
    static std::string TableHeader();

private:
    GroundTruth truth_;
    double fps_;
    long long framesRead_ = 0;
    bool wholeVideo_ = true;
    Score score_;
    std::map<long long, bool> frameMatched_;  // analysed frames with a true positive
    std::map<int, long long> firstLabel_, firstFound_;  // per track: frame indices
};

}  // namespace weapon_detect
