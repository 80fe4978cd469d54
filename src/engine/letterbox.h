// Letterbox pre-processing: the image is scaled to fit the network input (width x height)
// keeping its aspect ratio, centred, and the rest is padded with grey 114. Every backend is
// handed this same canvas, so backends differ only in the forward pass.
#pragma once

#include <opencv2/core.hpp>

namespace zrv::engine {

struct Letterbox {
    float scale = 1.0f;  // input pixels per image pixel
    int padX = 0;        // left padding, input pixels
    int padY = 0;        // top padding, input pixels
    cv::Size image;      // size of the image that was letterboxed

    // Maps a box given by its corners in network-input pixels back into image pixels,
    // clipped to the image, without rounding.
    cv::Rect2f ToImage(float x1, float y1, float x2, float y2) const;
    // Rounds each edge of a box to the nearest whole pixel.
    static cv::Rect Round(const cv::Rect2f& box);
};

// Draws `bgr` (8-bit, 3 channels) letterboxed into `canvas`, which is (re)allocated to
// `input` (width x height) only when its size changes.
Letterbox DrawLetterboxed(const cv::Mat& bgr, cv::Size input, cv::Mat& canvas);

}  // namespace zrv::engine
