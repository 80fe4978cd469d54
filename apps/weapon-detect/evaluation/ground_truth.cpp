#include "evaluation/ground_truth.h"

#include <cmath>
#include <fstream>
#include <sstream>

#include "bounded_read.h"

namespace weapon_detect {
namespace {

// Box coordinates and sizes beyond any frame, and track ids beyond an int, are mistakes
// (and would not convert to int).
constexpr double kMaxPixels = 1e6;
constexpr double kMaxTrack = 2147483647.0;

[[noreturn]] void Fail(const std::string& path, int line, const std::string& what) {
    throw GroundTruthError(path + ":" + std::to_string(line) + ": " + what);
}

double Number(const std::string& field, const std::string& path, int line, int column) {
    size_t used = 0;
    double value = 0;
    try {
        value = std::stod(field, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    while (used < field.size() && std::isspace(static_cast<unsigned char>(field[used]))) ++used;
    if (used == 0 || used != field.size() || !std::isfinite(value)) {
        Fail(path, line, "column " + std::to_string(column) + " is not a number: '" + field + "'");
    }
    return value;
}

}  // namespace

GroundTruth ParseGroundTruth(const std::string& text, const std::string& path) {
    GroundTruth truth;
    truth.path = path;
    // Annotation tools on some systems start the file with a UTF-8 byte-order mark.
    const bool bom = text.compare(0, 3, "\xEF\xBB\xBF") == 0;
    std::istringstream in(bom ? text.substr(3) : text);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        std::vector<std::string> fields;
        std::istringstream columns(line);
        std::string field;
        while (std::getline(columns, field, ',')) fields.push_back(field);
        if (fields.size() < 6) {
            Fail(path, number, "has " + std::to_string(fields.size()) +
                                   " columns; expected frame,id,x,y,w,h[,conf,class,visibility]");
        }
        std::vector<double> values;
        for (size_t c = 0; c < fields.size() && c < 9; ++c) values.push_back(Number(fields[c], path, number, int(c) + 1));
        const double frame = values[0];
        if (frame < 1 || frame != std::floor(frame) || frame > 1e9) {
            Fail(path, number, "frame " + fields[0] + " is not a whole number from 1");
        }
        if (std::fabs(values[1]) > kMaxTrack) Fail(path, number, "track id " + fields[1] + " is out of range");
        for (int c = 2; c < 6; ++c) {
            if (std::fabs(values[c]) > kMaxPixels) {
                Fail(path, number, "column " + std::to_string(c + 1) + " (" + fields[c] + ") is beyond any frame (at most " +
                                       std::to_string(static_cast<int>(kMaxPixels)) + " pixels)");
            }
        }
        // Sizes are whole pixels: one under half a pixel would be a box of no area.
        if (std::lround(values[4]) <= 0 || std::lround(values[5]) <= 0) Fail(path, number, "the box has no area");
        if (values.size() > 6 && values[6] == 0) continue;  // marked to be ignored
        LabelledBox box;
        box.track = static_cast<int>(values[1]);
        box.box = cv::Rect(static_cast<int>(std::lround(values[2])), static_cast<int>(std::lround(values[3])),
                           static_cast<int>(std::lround(values[4])), static_cast<int>(std::lround(values[5])));
        box.line = number;
        const auto index = static_cast<long long>(frame) - 1;
        truth.frames[index].push_back(box);
        if (index > truth.lastFrame) {
            truth.lastFrame = index;
            truth.lastFrameLine = number;
        }
    }
    return truth;
}

GroundTruth ReadGroundTruth(const std::string& path) {
    try {
        return ParseGroundTruth(ReadTextFile(path, kMaxGroundTruthBytes, kMaxGroundTruthLine), path);
    } catch (const UnreadableFile& e) {
        throw GroundTruthError(std::string("cannot read the ground truth ") + e.what());
    }
}

}  // namespace weapon_detect
