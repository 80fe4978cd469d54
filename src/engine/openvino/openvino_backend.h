// The forward pass on OpenVINO's CPU runtime. The compiled model is shared between the
// instances that load the same file at the same size (compiled_models.h); the inference
// request and its input canvas are this instance's own.
#pragma once

#include <memory>

#include <openvino/runtime/infer_request.hpp>

#include "engine/backend.h"
#include "engine/openvino/compiled_models.h"

namespace zrv::engine {

class OpenVinoBackend final : public InferenceBackend {
public:
    bool Load(const std::string& onnxPath, const OnnxGraphFacts& facts, cv::Size input,
              std::vector<int64_t>& outputShape, std::string& why) override;
    cv::Mat& Canvas() override { return canvas_; }
    const OutputTensor& Forward() override;
    std::string Precision() const override { return model_ ? model_->precision : std::string(); }

private:
    std::shared_ptr<const SharedCompiledModel> model_;
    ov::InferRequest request_;
    cv::Mat canvas_;
    OutputTensor output_;
    bool staticOutput_ = false;
};

}  // namespace zrv::engine
