#include "engine/letterbox.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace zrv::engine {

Letterbox DrawLetterboxed(const cv::Mat& bgr, cv::Size input, cv::Mat& canvas) {
    Letterbox lb;
    lb.image = bgr.size();
    lb.scale = std::min(static_cast<float>(input.width) / bgr.cols,
                        static_cast<float>(input.height) / bgr.rows);
    const int w = std::clamp(static_cast<int>(std::lround(bgr.cols * lb.scale)), 1, input.width);
    const int h = std::clamp(static_cast<int>(std::lround(bgr.rows * lb.scale)), 1, input.height);
    lb.padX = (input.width - w) / 2;
    lb.padY = (input.height - h) / 2;
    canvas.create(input, CV_8UC3);
    canvas.setTo(cv::Scalar::all(114));
    cv::Mat inner = canvas(cv::Rect(lb.padX, lb.padY, w, h));
    // Resizing into the view writes straight into the canvas. Bilinear, as the common
    // training pipelines letterbox: the model sees what it was trained on, and it costs a
    // fraction of area averaging (1.8 ms against 0.3 ms for a 480 x 540 view into 320).
    cv::resize(bgr, inner, inner.size(), 0, 0, cv::INTER_LINEAR);
    return lb;
}

cv::Rect2f Letterbox::ToImage(float x1, float y1, float x2, float y2) const {
    auto clampTo = [](float v, int limit) {
        if (!(v > 0.0f)) return 0.0f;  // also catches NaN
        return std::min(v, static_cast<float>(limit));
    };
    const float left = clampTo((x1 - padX) / scale, image.width);
    const float top = clampTo((y1 - padY) / scale, image.height);
    const float right = clampTo((x2 - padX) / scale, image.width);
    const float bottom = clampTo((y2 - padY) / scale, image.height);
    return {left, top, std::max(0.0f, right - left), std::max(0.0f, bottom - top)};
}

cv::Rect Letterbox::Round(const cv::Rect2f& box) {
    // Edges lie in [0, image side], so they fit an int.
    const int left = static_cast<int>(std::lround(box.x));
    const int top = static_cast<int>(std::lround(box.y));
    const int right = static_cast<int>(std::lround(box.x + box.width));
    const int bottom = static_cast<int>(std::lround(box.y + box.height));
    return {left, top, std::max(0, right - left), std::max(0, bottom - top)};
}

}  // namespace zrv::engine
