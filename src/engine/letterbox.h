// Letterbox pre-processing: the image is scaled to fit a square network input keeping its
// aspect ratio, centred, and the rest is padded with grey 114.
#pragma once

#include <opencv2/core.hpp>

namespace zrv::engine {

struct Letterbox {
    float scale = 1.0f;  // input pixels per image pixel
    int padX = 0;        // left padding, input pixels
    int padY = 0;        // top padding, input pixels
    cv::Size image;      // size of the image that was letterboxed

    // Maps a box given in network-input pixels back into image pixels, clipped to the image,
    // without rounding.
    cv::Rect2f ToImageExact(float cx, float cy, float w, float h) const;
    // The same with each edge rounded to the nearest whole pixel.
    cv::Rect ToImage(float cx, float cy, float w, float h) const { return Round(ToImageExact(cx, cy, w, h)); }
    // Rounds each edge of a box to the nearest whole pixel.
    static cv::Rect Round(const cv::Rect2f& box);
};

// Draws `bgr` (8-bit, 3 channels) letterboxed into `canvas`, which is (re)allocated to
// inputSize x inputSize only when needed.
Letterbox DrawLetterboxed(const cv::Mat& bgr, int inputSize, cv::Mat& canvas);

}  // namespace zrv::engine
