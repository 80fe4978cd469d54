#include "engine/motion_detector.h"

#include <algorithm>
#include <cmath>
#include <iterator>

#include <opencv2/imgproc.hpp>

#include "common/pixel_types.h"

namespace zrv::engine {

MotionDetector::Background& MotionDetector::BackgroundOf(const std::string& cameraId) {
    const auto found = byId_.find(cameraId);
    if (found != byId_.end()) {
        cameras_.splice(cameras_.begin(), cameras_, found->second);
        return found->second->background;
    }
    if (cameras_.size() >= kMaxCameras) {
        // Forget the camera seen least recently; its buffers serve the new one.
        byId_.erase(cameras_.back().id);
        cameras_.splice(cameras_.begin(), cameras_, std::prev(cameras_.end()));
        cameras_.front().id = cameraId;
        cameras_.front().background.frame = cv::Size();  // starts over at the next Detect
    } else {
        cameras_.push_front(Camera{cameraId, {}});
    }
    byId_[cameraId] = cameras_.begin();
    return cameras_.front().background;
}

MotionDetector::Grid MotionDetector::GridOf(const cv::Mat& image) {
    Grid g;
    image.locateROI(g.whole, g.offset);
    // The background pixels under the view, and the part of the frame they cover exactly:
    // the view widened to whole background pixels, so that every call samples the frame on
    // the same grid however the view moves (a view moved by a few pixels would otherwise
    // resample the texture differently and report edges that did not move).
    g.bgSize = cv::Size(std::max(1, g.whole.width / kScale), std::max(1, g.whole.height / kScale));
    const int x0 = std::min(g.offset.x / kScale, g.bgSize.width - 1);
    const int y0 = std::min(g.offset.y / kScale, g.bgSize.height - 1);
    const int x1 = std::clamp((g.offset.x + image.cols + kScale - 1) / kScale, x0 + 1, g.bgSize.width);
    const int y1 = std::clamp((g.offset.y + image.rows + kScale - 1) / kScale, y0 + 1, g.bgSize.height);
    g.part = cv::Rect(x0, y0, x1 - x0, y1 - y0);
    g.covered = cv::Rect(x0 * kScale, y0 * kScale, g.part.width * kScale, g.part.height * kScale);
    return g;
}

cv::Mat MotionDetector::AlignedView(const cv::Mat& image, const Grid& g) {
    cv::Mat aligned = image;  // a header: adjustROI moves its bounds within the frame
    aligned.adjustROI(g.offset.y - g.covered.y, g.covered.br().y - (g.offset.y + image.rows), g.offset.x - g.covered.x,
                      g.covered.br().x - (g.offset.x + image.cols));
    return aligned;
}

const cv::Mat& MotionDetector::Picture(const cv::Mat& aligned) {
    const cv::Mat& eight = zrv::pixels::AsEightBit(aligned, scaled_);
    // Colour is kept: an object can differ from what is behind it in hue alone (magenta on
    // grey has about the grey's brightness), which a grey difference cannot see.
    if (eight.channels() != 4) return eight;
    cv::cvtColor(eight, colour_, cv::COLOR_BGRA2BGR);
    return colour_;
}

void MotionDetector::Fit(Background& bg, const Grid& g, int channels) {
    if (bg.frame == g.whole && bg.mean.channels() == channels) return;
    // A new camera, size or kind: start over.
    bg.frame = g.whole;
    bg.mean.create(g.bgSize, CV_32FC(channels));
    // create and setTo rather than Mat::zeros: that matrix expression goes through a
    // singleton OpenCV makes lazily without atomics, a race between two cameras' threads.
    bg.seen.create(g.bgSize, CV_8U);
    bg.seen.setTo(cv::Scalar::all(0));
}

bool MotionDetector::CompareAndLearn(Background& bg, const cv::Mat& picture, const cv::Rect& part) {
    cv::resize(picture, small_, part.size(), 0, 0, cv::INTER_AREA);
    small_.convertTo(smallF_, CV_32F);

    cv::Mat mean = bg.mean(part);
    cv::Mat seen = bg.seen(part);
    // Parts never seen before take the current picture as their background.
    cv::bitwise_not(seen, moving_);
    smallF_.copyTo(mean, moving_);
    seen.setTo(255);

    // The largest change over the channels, per background pixel.
    cv::absdiff(smallF_, mean, diff_);
    cv::Mat change = diff_;
    if (picture.channels() > 1) {
        cv::reduce(diff_.reshape(1, static_cast<int>(diff_.total())), largest_, 1, cv::REDUCE_MAX);
        change = largest_.reshape(1, part.height);
    }
    cv::threshold(change, change, kDifference, 255.0, cv::THRESH_BINARY);
    change.convertTo(moving_, CV_8U);
    const double changed = cv::countNonZero(moving_) / static_cast<double>(part.area());
    cv::accumulateWeighted(smallF_, mean, kLearningRate);
    if (changed > kRecalibrateAbove) {
        // Most of the view changed at once (a light switched on): relearn, report nothing.
        smallF_.copyTo(mean);
        return false;
    }
    return true;
}

void MotionDetector::CollectRegions(const Grid& g, cv::Size view, std::vector<cv::Rect>& regions) {
    if (kernel_.empty()) kernel_ = cv::getStructuringElement(cv::MORPH_RECT, {3, 3});
    cv::dilate(moving_, moving_, kernel_, {-1, -1}, 2);
    const int count = cv::connectedComponentsWithStats(moving_, labels_, stats_, centroids_, 8, CV_32S);
    for (int i = 1; i < count; ++i) {
        if (stats_.at<int>(i, cv::CC_STAT_AREA) < kMinArea) continue;
        // Background pixels to frame pixels, then into the view's own coordinates.
        const cv::Rect box(g.covered.x + stats_.at<int>(i, cv::CC_STAT_LEFT) * kScale - g.offset.x,
                           g.covered.y + stats_.at<int>(i, cv::CC_STAT_TOP) * kScale - g.offset.y,
                           stats_.at<int>(i, cv::CC_STAT_WIDTH) * kScale,
                           stats_.at<int>(i, cv::CC_STAT_HEIGHT) * kScale);
        regions.push_back(box & cv::Rect(0, 0, view.width, view.height));
    }
}

void MotionDetector::Detect(const cv::Mat& image, const std::string& cameraId, std::vector<cv::Rect>& regions) {
    regions.clear();
    if (image.empty() || !zrv::pixels::Supported(image.type())) return;
    const Grid grid = GridOf(image);
    const cv::Mat aligned = AlignedView(image, grid);
    const cv::Mat& picture = Picture(aligned);
    Background& bg = BackgroundOf(cameraId);
    Fit(bg, grid, picture.channels());
    if (!CompareAndLearn(bg, picture, grid.part)) return;
    CollectRegions(grid, image.size(), regions);
}

}  // namespace zrv::engine
