// Cheap motion detection on views of a frame. The background of each camera is a running
// average of the downscaled grey frame, kept in full-frame coordinates, so the caller may
// hand a different part of the frame at every call: only the part under the view is
// compared and updated.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace zrv::engine {

class MotionDetector {
public:
    // Moving regions of `image` in its own coordinates. `image` may be a view of a larger
    // frame (its offset is found with locateROI); otherwise it is a whole frame.
    void Detect(const cv::Mat& image, const std::string& cameraId, std::vector<cv::Rect>& regions);

    static constexpr int kScale = 4;              // background pixel = 4 x 4 frame pixels
    static constexpr double kLearningRate = 0.05;
    static constexpr double kDifference = 25.0;   // grey levels
    static constexpr int kMinArea = 4;            // background pixels (64 frame pixels)
    static constexpr double kRecalibrateAbove = 0.5;  // share of the view changed at once

private:
    struct Background {
        cv::Size frame;
        cv::Mat mean;  // CV_32F, frame / kScale
        cv::Mat seen;  // CV_8U, 255 where `mean` holds data
    };
    std::map<std::string, Background> cameras_;
    // Reused between calls.
    cv::Mat grey_, small_, smallF_, diff_, moving_, labels_, stats_, centroids_, kernel_;
};

}  // namespace zrv::engine
