// One ONNX detector on OpenCV's DNN module: loading with validation, then
// pre-processing, inference and post-processing with buffers reused between calls.
#pragma once

#include <string>
#include <vector>

#include <opencv2/dnn.hpp>

#include "engine/detector_output.h"

namespace zrv::engine {

class DetectionModel {
public:
    // Reads and validates the model; on failure returns false with a one-line reason and
    // leaves this object unloaded. `classCount` comes from the class file. The input size is
    // the one the graph declares; only where the graph leaves it open are common sizes
    // tried, and `note` then says which one was taken.
    bool Load(const std::string& onnxPath, int classCount, bool preferCuda, std::string& why,
              std::string& note);
    bool loaded() const { return loaded_; }
    int inputSize() const { return inputSize_; }
    const OutputFormat& format() const { return format_; }

    // Detections in the pixels of `image` (a view of a larger frame is fine), after the
    // score cut and per-class suppression. `detections` is overwritten; it stays empty for
    // pixel types the engine does not take (common/pixel_types.h).
    void Detect(const cv::Mat& image, float minScore, float iouThreshold,
                std::vector<Candidate>& detections);
    // One inference on a grey image, so that later calls do not pay first-run costs.
    void WarmUp();

private:
    void Forward(const cv::Mat& bgr);

    bool loaded_ = false;
    cv::dnn::Net net_;
    std::vector<std::string> outputNames_;
    int inputSize_ = 0;
    OutputFormat format_{};
    // Reused between calls.
    cv::Mat scaled_, converted_, canvas_, blob_;
    std::vector<cv::Mat> outputs_;
    std::vector<Candidate> raw_;
    std::vector<int> order_;
    Letterbox letterbox_;
};

}  // namespace zrv::engine
