#include "evaluation/scorer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace weapon_detect {
namespace {
float IoU(const cv::Rect& a, const cv::Rect& b) {
    const double inter = (a & b).area();
    const double uni = double(a.area()) + double(b.area()) - inter;
    return uni > 0 ? static_cast<float>(inter / uni) : 0.0f;
}
double Ratio(long long a, long long b) { return b > 0 ? double(a) / double(b) : 0.0; }
// To `places` decimal places; dividing by a power of ten gives the nearest double.
double Round(double v, int places) {
    const double scale = std::pow(10.0, places);
    return std::round(v * scale) / scale;
}
}  // namespace

double Score::precision() const { return Ratio(truePositives, truePositives + falsePositives); }
double Score::recall() const { return Ratio(labelsFound, labels); }
double Score::falseAlarmsPerHour() const { return seconds > 0 ? (events - eventsMatched) * 3600.0 / seconds : 0.0; }

void Scorer::Frame(long long index, const std::vector<CustomObject>& detections) {
    static const std::vector<LabelledBox> none;
    const auto it = truth_.frames.find(index);
    const std::vector<LabelledBox>& labels = it == truth_.frames.end() ? none : it->second;
    for (const auto& label : labels) {
        if (!firstLabel_.count(label.track)) firstLabel_[label.track] = index;
    }
    std::vector<bool> taken(labels.size(), false);
    bool matched = false;
    for (const CustomObject& d : detections) {
        int best = -1;
        float bestIoU = kMatchIoU;
        for (size_t k = 0; k < labels.size(); ++k) {
            const float iou = IoU(d.box, labels[k].box);
            if (!taken[k] && iou >= bestIoU) {
                best = static_cast<int>(k);
                bestIoU = iou;
            }
        }
        if (best < 0) {
            ++score_.falsePositives;
            continue;
        }
        taken[static_cast<size_t>(best)] = true;
        ++score_.truePositives;
        matched = true;
        const int track = labels[static_cast<size_t>(best)].track;
        if (!firstFound_.count(track)) firstFound_[track] = index;
    }
    score_.labels += static_cast<long long>(labels.size());
    score_.labelsFound += std::count(taken.begin(), taken.end(), true);
    frameMatched_[index] = matched;
}

void Scorer::Event(long long first, long long last) {
    ++score_.events;
    const auto from = frameMatched_.lower_bound(first);
    const auto to = frameMatched_.upper_bound(last);
    if (std::any_of(from, to, [](const auto& f) { return f.second; })) ++score_.eventsMatched;
}

Score Scorer::Finish() const {
    if (wholeVideo_ && truth_.lastFrame >= framesRead_) {
        throw GroundTruthError(truth_.path + ":" + std::to_string(truth_.lastFrameLine) + ": frame " +
                               std::to_string(truth_.lastFrame + 1) + " is beyond the video's " +
                               std::to_string(framesRead_) + " frames");
    }
    Score score = score_;
    score.seconds = fps_ > 0 ? framesRead_ / fps_ : 0.0;
    // Tracks labelled in frames that were analysed, and how long until each was found.
    for (const auto& [track, first] : firstLabel_) {
        ++score.tracks;
        const auto found = firstFound_.find(track);
        if (found == firstFound_.end()) continue;
        ++score.tracksFound;
        const double delay = fps_ > 0 ? (found->second - first) / fps_ : 0.0;
        score.meanDelay += delay;
        score.worstDelay = std::max(score.worstDelay, delay);
    }
    if (score.tracksFound > 0) score.meanDelay /= static_cast<double>(score.tracksFound);
    return score;
}

nlohmann::ordered_json Scorer::Record(const std::string& camera, const Score& s) {
    return {{"type", "evaluation"},
            {"camera", camera},
            {"precision", Round(s.precision(), 4)},
            {"recall", Round(s.recall(), 4)},
            {"true_positives", s.truePositives},
            {"false_positives", s.falsePositives},
            {"labels", s.labels},
            {"labels_found", s.labelsFound},
            {"events", s.events},
            {"events_matched", s.eventsMatched},
            {"false_alarms_per_hour", Round(s.falseAlarmsPerHour(), 2)},
            {"tracks", s.tracks},
            {"tracks_found", s.tracksFound},
            {"mean_delay", Round(s.meanDelay, 3)},
            {"worst_delay", Round(s.worstDelay, 3)},
            {"video_seconds", Round(s.seconds, 3)}};
}

std::string Scorer::TableHeader() {
    return "camera                precision  recall  false alarms/h  events matched  tracks found  delay mean/worst (s)";
}

std::string Scorer::TableRow(const std::string& camera, const Score& s) {
    char row[256];
    std::snprintf(row, sizeof row, "%-20.20s  %9.3f  %6.3f  %14.1f  %7lld/%-6lld  %6lld/%-5lld  %.2f / %.2f",
                  camera.c_str(), s.precision(), s.recall(), s.falseAlarmsPerHour(), s.eventsMatched, s.events,
                  s.tracksFound, s.tracks, s.meanDelay, s.worstDelay);
    return row;
}

}  // namespace weapon_detect
