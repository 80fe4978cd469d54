// Which frames can be analysed, shared by the detector (which says once per camera when it
// turns frames away) and the engine (which converts what it accepts).
//
//   8-bit unsigned, 1 channel (grey), 3 (BGR) or 4 (BGRA)   analysed as they are
//   16-bit unsigned, 1, 3 or 4 channels                     scaled to 8 bits, then analysed
//   anything else (signed, floating point, 2 or >4 channels) turned away: floating-point
//   pixels have no agreed range and 2 channels no agreed colour meaning
#pragma once

#include <opencv2/core.hpp>

namespace zrv::pixels {

inline bool Supported(int type) {
    const int depth = CV_MAT_DEPTH(type);
    const int channels = CV_MAT_CN(type);
    return (depth == CV_8U || depth == CV_16U) && (channels == 1 || channels == 3 || channels == 4);
}

inline bool NeedsScaling(int type) { return CV_MAT_DEPTH(type) == CV_16U; }

// `image` with 8-bit pixels: itself when it has them, else scaled into `buffer`.
inline const cv::Mat& AsEightBit(const cv::Mat& image, cv::Mat& buffer) {
    if (!NeedsScaling(image.type())) return image;
    image.convertTo(buffer, CV_8U, 1.0 / 256.0);
    return buffer;
}

}  // namespace zrv::pixels
