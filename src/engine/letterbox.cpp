#include "engine/letterbox.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace zrv::engine {

Letterbox DrawLetterboxed(const cv::Mat& bgr, int inputSize, cv::Mat& canvas) {
    Letterbox lb;
    lb.image = bgr.size();
    lb.scale = std::min(static_cast<float>(inputSize) / bgr.cols,
                        static_cast<float>(inputSize) / bgr.rows);
    const int w = std::clamp(static_cast<int>(std::lround(bgr.cols * lb.scale)), 1, inputSize);
    const int h = std::clamp(static_cast<int>(std::lround(bgr.rows * lb.scale)), 1, inputSize);
    lb.padX = (inputSize - w) / 2;
    lb.padY = (inputSize - h) / 2;
    canvas.create(inputSize, inputSize, CV_8UC3);
    canvas.setTo(cv::Scalar::all(114));
    cv::Mat inner = canvas(cv::Rect(lb.padX, lb.padY, w, h));
    // Resizing into the view writes straight into the canvas.
    cv::resize(bgr, inner, inner.size(), 0, 0, lb.scale < 1.0f ? cv::INTER_AREA : cv::INTER_LINEAR);
    return lb;
}

cv::Rect Letterbox::ToImage(float cx, float cy, float w, float h) const {
    const float x0 = (cx - w / 2 - padX) / scale;
    const float y0 = (cy - h / 2 - padY) / scale;
    const float x1 = (cx + w / 2 - padX) / scale;
    const float y1 = (cy + h / 2 - padY) / scale;
    auto clampTo = [](float v, int limit) {
        if (!(v > 0.0f)) return 0;  // also catches NaN
        return v >= static_cast<float>(limit) ? limit : static_cast<int>(std::lround(v));
    };
    const int left = clampTo(x0, image.width);
    const int top = clampTo(y0, image.height);
    const int right = clampTo(x1, image.width);
    const int bottom = clampTo(y1, image.height);
    return {left, top, std::max(0, right - left), std::max(0, bottom - top)};
}

}  // namespace zrv::engine
