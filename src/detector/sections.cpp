// The division of a frame into ranked scan sections and the lookups over the ranking.
#include <algorithm>
#include <cmath>
#include <utility>

#include "detector/ZRVCustomWD.h"
#include "detector/console.h"

namespace {

// Nominal section count by the frame's larger dimension.
int NominalSectionCount(int largerDimension) {
    if (largerDimension <= 320) return 1;
    if (largerDimension <= 640) return 2;
    if (largerDimension <= 960) return 4;
    if (largerDimension <= 1280) return 6;
    if (largerDimension <= 2560) return 8;
    return 10;
}

}  // namespace

std::vector<ZRVCustomWD::ImageSection> ZRVCustomWD::divideImage(const cv::Mat& frame) {
    refreshSections(frame);
    return _imageSections;
}

void ZRVCustomWD::refreshSections(const cv::Mat& frame) {
    if (frame.empty()) {
        zrv::detector::ConsoleLine(zrv::detector::ConsoleStream::Error, "Error: Empty image!");
        return;
    }
    const int width = frame.cols;
    const int height = frame.rows;
    if (width == _lastImageWidth && height == _lastImageHeight) return;

    _lastImageWidth = width;
    _lastImageHeight = height;
    _imageSections.clear();

    // The grid does not follow the orientation: rows run along the height, columns along
    // the width, whichever is longer.
    const int n = NominalSectionCount(std::max(width, height));
    const int gridRows = static_cast<int>(std::sqrt(static_cast<double>(n)));
    const int gridCols = (n + gridRows - 1) / gridRows;
    const int w = width / gridCols;
    const int h = height / gridRows;
    const cv::Point center(width / 2, height / 2);

    std::vector<std::pair<double, ImageSection>> ranked;
    ranked.reserve(static_cast<size_t>(gridRows) * static_cast<size_t>(gridCols));
    for (int i = 0; i < gridRows; ++i) {
        for (int j = 0; j < gridCols; ++j) {
            // Pixels left over by the divisions go to the last column and row.
            const int sectionWidth = (j == gridCols - 1) ? width - (gridCols - 1) * w : w;
            const int sectionHeight = (i == gridRows - 1) ? height - (gridRows - 1) * h : h;
            ImageSection section{cv::Rect(j * w, i * h, sectionWidth, sectionHeight), 0};
            ranked.emplace_back(calculateDistanceToCenter(center, section.region), section);
        }
    }

    // Distances within 1e-5 count as equal; ties go top to bottom, then left to right.
    std::sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) {
        if (std::abs(a.first - b.first) > 0.00001) return a.first < b.first;
        if (a.second.region.y != b.second.region.y) return a.second.region.y < b.second.region.y;
        return a.second.region.x < b.second.region.x;
    });

    int priority = 1;
    for (auto& entry : ranked) {
        entry.second.priority = priority++;
        _imageSections.push_back(entry.second);
    }
}

double ZRVCustomWD::calculateDistanceToCenter(const cv::Point& point, const cv::Rect& rect) {
    const int dx = rect.x + rect.width / 2 - point.x;
    const int dy = rect.y + rect.height / 2 - point.y;
    return std::sqrt(std::pow(static_cast<double>(dx), 2.0) + std::pow(static_cast<double>(dy), 2.0));
}

int ZRVCustomWD::getHighestPriorityRegion() {
    return _imageSections.empty() ? 0 : _imageSections.front().priority;
}

int ZRVCustomWD::getLowestPriorityRegion() {
    return _imageSections.empty() ? 0 : _imageSections.back().priority;
}

cv::Rect ZRVCustomWD::getRegionByPriority(int priority) {
    for (const ImageSection& section : _imageSections) {
        if (section.priority == priority) return section.region;
    }
    return cv::Rect(0, 0, 0, 0);
}
