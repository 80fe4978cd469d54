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

void MotionDetector::Detect(const cv::Mat& image, const std::string& cameraId,
                            std::vector<cv::Rect>& regions) {
    regions.clear();
    if (image.empty() || !zrv::pixels::Supported(image.type())) return;

    cv::Size whole;
    cv::Point offset;
    image.locateROI(whole, offset);

    Background& bg = BackgroundOf(cameraId);
    const cv::Size bgSize(std::max(1, whole.width / kScale), std::max(1, whole.height / kScale));
    if (bg.frame != whole) {  // a new camera or a new frame size: start over
        bg.frame = whole;
        bg.mean.create(bgSize, CV_32F);
        bg.seen = cv::Mat::zeros(bgSize, CV_8U);
    }

    // The part of the background under the view.
    const int x0 = std::min(offset.x / kScale, bgSize.width - 1);
    const int y0 = std::min(offset.y / kScale, bgSize.height - 1);
    const int x1 = std::clamp((offset.x + image.cols + kScale - 1) / kScale, x0 + 1, bgSize.width);
    const int y1 = std::clamp((offset.y + image.rows + kScale - 1) / kScale, y0 + 1, bgSize.height);
    const cv::Rect part(x0, y0, x1 - x0, y1 - y0);

    const cv::Mat& eight = zrv::pixels::AsEightBit(image, scaled_);
    if (eight.channels() == 1) {
        grey_ = eight;
    } else {
        cv::cvtColor(eight, grey_, eight.channels() == 4 ? cv::COLOR_BGRA2GRAY : cv::COLOR_BGR2GRAY);
    }
    cv::resize(grey_, small_, part.size(), 0, 0, cv::INTER_AREA);
    small_.convertTo(smallF_, CV_32F);

    cv::Mat mean = bg.mean(part);
    cv::Mat seen = bg.seen(part);
    // Parts never seen before take the current picture as their background.
    cv::bitwise_not(seen, moving_);
    smallF_.copyTo(mean, moving_);
    seen.setTo(255);

    cv::absdiff(smallF_, mean, diff_);
    cv::threshold(diff_, diff_, kDifference, 255.0, cv::THRESH_BINARY);
    diff_.convertTo(moving_, CV_8U);
    const double changed = cv::countNonZero(moving_) / static_cast<double>(part.area());
    cv::accumulateWeighted(smallF_, mean, kLearningRate);
    if (changed > kRecalibrateAbove) {
        // Most of the view changed at once (a light switched on): relearn, report nothing.
        smallF_.copyTo(mean);
        return;
    }

    if (kernel_.empty()) kernel_ = cv::getStructuringElement(cv::MORPH_RECT, {3, 3});
    cv::dilate(moving_, moving_, kernel_, {-1, -1}, 2);
    const int count = cv::connectedComponentsWithStats(moving_, labels_, stats_, centroids_, 8, CV_32S);
    const double sx = static_cast<double>(image.cols) / part.width;
    const double sy = static_cast<double>(image.rows) / part.height;
    for (int i = 1; i < count; ++i) {
        if (stats_.at<int>(i, cv::CC_STAT_AREA) < kMinArea) continue;
        const int x = stats_.at<int>(i, cv::CC_STAT_LEFT);
        const int y = stats_.at<int>(i, cv::CC_STAT_TOP);
        const int w = stats_.at<int>(i, cv::CC_STAT_WIDTH);
        const int h = stats_.at<int>(i, cv::CC_STAT_HEIGHT);
        const cv::Rect box(static_cast<int>(std::floor(x * sx)), static_cast<int>(std::floor(y * sy)),
                           static_cast<int>(std::ceil(w * sx)), static_cast<int>(std::ceil(h * sy)));
        regions.push_back(box & cv::Rect(0, 0, image.cols, image.rows));
    }
}

}  // namespace zrv::engine
