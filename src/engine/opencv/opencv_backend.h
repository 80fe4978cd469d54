// The forward pass on OpenCV's DNN module: the plain reference the fast backend is compared
// against. It refuses the graphs OpenCV 4.6 would misread rather than return wrong boxes: a
// Split taking its sizes as an input (cut into equal parts instead), float16 weights or
// inputs, shapes computed while the graph runs, and end-to-end heads.
#pragma once

#include <opencv2/dnn.hpp>

#include "engine/backend.h"

namespace zrv::engine {

// Why OpenCV 4.6 cannot be trusted with this graph, or empty when it can be tried.
std::string OpenCvRefusal(const OnnxGraphFacts& facts);

class OpenCvBackend final : public InferenceBackend {
public:
    bool Load(const std::string& onnxPath, const OnnxGraphFacts& facts, cv::Size input,
              std::vector<int64_t>& outputShape, std::string& why) override;
    cv::Mat& Canvas() override { return canvas_; }
    const OutputTensor& Forward() override;
    // OpenCV's CPU path computes in 32-bit floats (float16 graphs are refused).
    std::string Precision() const override { return "f32"; }

private:
    cv::dnn::Net net_;
    std::vector<std::string> outputNames_;
    cv::Mat canvas_, blob_;
    std::vector<cv::Mat> outputs_;
    OutputTensor output_;
};

}  // namespace zrv::engine
