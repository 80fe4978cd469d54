// Cheap motion detection on views of a frame. The background of each camera is a running
// average of the downscaled frame, in colour, kept in full-frame coordinates, so the caller may
// hand a different part of the frame at every call: only the part under the view is
// compared and updated.
#pragma once

#include <list>
#include <string>
#include <unordered_map>
#include <vector>

#include <opencv2/core.hpp>

namespace zrv::engine {

class MotionDetector {
public:
    // Moving regions of `image` in its own coordinates. `image` may be a view of a larger
    // frame (its offset is found with locateROI); otherwise it is a whole frame.
    void Detect(const cv::Mat& image, const std::string& cameraId, std::vector<cv::Rect>& regions);

    // Backgrounds held: at most kMaxCameras. Beyond that the camera seen least recently is
    // forgotten (it starts over, as a new camera, when it comes back), so that a host that
    // names streams by connection cannot grow this without bound.
    size_t cameraCount() const { return cameras_.size(); }
    static constexpr size_t kMaxCameras = 16;

    static constexpr int kScale = 4;              // background pixel = 4 x 4 frame pixels
    static constexpr double kLearningRate = 0.05;
    static constexpr double kDifference = 25.0;   // levels, in the channel that changed most
    static constexpr int kMinArea = 4;            // background pixels (64 frame pixels)
    static constexpr double kRecalibrateAbove = 0.5;  // share of the view changed at once

private:
    struct Background {
        cv::Size frame;
        cv::Mat mean;  // CV_32F with the frame's channels (grey or BGR), frame / kScale
        cv::Mat seen;  // CV_8U, 255 where `mean` holds data
    };
    struct Camera {
        std::string id;
        Background background;
    };
    Background& BackgroundOf(const std::string& cameraId);

    std::list<Camera> cameras_;  // most recently seen first
    std::unordered_map<std::string, std::list<Camera>::iterator> byId_;
    // Reused between calls.
    cv::Mat scaled_, colour_, largest_, small_, smallF_, diff_, moving_, labels_, stats_, centroids_, kernel_;
};

}  // namespace zrv::engine
