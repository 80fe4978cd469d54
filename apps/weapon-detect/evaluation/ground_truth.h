// Ground truth in the MOTChallenge text format that common annotation tools export: one
// labelled box per line, "frame,id,x,y,w,h,conf,class,visibility", frames counted from 1.
// Only the first six columns are needed; a line whose conf column is 0 is ignored, as the
// format intends. Blank lines and lines starting with '#' are skipped.
#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace weapon_detect {

struct LabelledBox {
    int track = 0;
    cv::Rect box;
    int line = 0;  // in the file, for messages
};

struct GroundTruth {
    std::string path;
    std::map<long long, std::vector<LabelledBox>> frames;  // by frame index from 0
    long long lastFrame = -1;                               // from 0
    int lastFrameLine = 0;
};

// A mistake in the file; the message names the file and the line.
struct GroundTruthError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Ground truth files are regular files of at most 64 MB with lines of at most 4 KB (a label
// line is some 40 bytes); anything else is refused with a GroundTruthError.
constexpr size_t kMaxGroundTruthBytes = 64u << 20;
constexpr size_t kMaxGroundTruthLine = 4096;
GroundTruth ReadGroundTruth(const std::string& path);
GroundTruth ParseGroundTruth(const std::string& text, const std::string& path);

}  // namespace weapon_detect
