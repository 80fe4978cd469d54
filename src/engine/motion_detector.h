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
    // Where a view lies on the background's grid.
    struct Grid {
        cv::Size whole;    // the frame the view belongs to
        cv::Point offset;  // of the view in that frame
        cv::Size bgSize;   // the whole frame's background
        cv::Rect part;     // background pixels under the view
        cv::Rect covered;  // the frame pixels `part` covers: the view widened to whole background pixels
    };
    Background& BackgroundOf(const std::string& cameraId);
    static Grid GridOf(const cv::Mat& image);
    // `image` widened to `covered` within its frame (a header, no pixels copied).
    static cv::Mat AlignedView(const cv::Mat& image, const Grid& grid);
    // `aligned` as 8-bit grey or BGR: itself, or one of the buffers below.
    const cv::Mat& Picture(const cv::Mat& aligned);
    // Starts `bg` over when the camera, the frame size or the channels changed.
    static void Fit(Background& bg, const Grid& grid, int channels);
    // Marks in `moving_` the background pixels under `part` that changed, and learns the
    // picture; false when most of the view changed at once (then relearnt, nothing to report).
    bool CompareAndLearn(Background& bg, const cv::Mat& picture, const cv::Rect& part);
    // The moving areas marked in `moving_`, in the coordinates of a view of size `view`.
    void CollectRegions(const Grid& grid, cv::Size view, std::vector<cv::Rect>& regions);

    std::list<Camera> cameras_;  // most recently seen first
    std::unordered_map<std::string, std::list<Camera>::iterator> byId_;
    // Reused between calls.
    cv::Mat scaled_, colour_, largest_, small_, smallF_, diff_, moving_, labels_, stats_, centroids_, kernel_;
};

}  // namespace zrv::engine
