#include "engine/openvino/openvino_backend.h"

#include <openvino/runtime/tensor.hpp>

#include "engine/openvino/openvino_messages.h"

namespace zrv::engine {

bool OpenVinoBackend::Load(const std::string& onnxPath, const OnnxGraphFacts& facts, cv::Size input,
                           std::vector<int64_t>& outputShape, std::string& why) {
    auto model = AcquireCompiledModel(onnxPath, facts, input, why);
    if (!model) return false;
    try {
        request_ = model->compiled.create_infer_request();
        canvas_.create(input, CV_8UC3);
        canvas_.setTo(cv::Scalar::all(114));
        // The request reads the canvas in place: the letterbox draws straight into the tensor.
        request_.set_input_tensor(ov::Tensor(ov::element::u8,
                                             ov::Shape{1, static_cast<size_t>(input.height),
                                                       static_cast<size_t>(input.width), 3},
                                             canvas_.data));
    } catch (const std::exception& e) {
        why = OpenVinoReason(e.what());
        request_ = ov::InferRequest();
        return false;
    }
    model_ = std::move(model);
    outputShape = model_->outputShape;
    output_.shape = outputShape;
    staticOutput_ = !outputShape.empty();
    for (int64_t d : outputShape) staticOutput_ = staticOutput_ && d >= 0;
    return true;
}

const OutputTensor& OpenVinoBackend::Forward() {
    request_.infer();
    const ov::Tensor out = request_.get_output_tensor(model_->outputIndex);
    output_.data = out.data<const float>();
    if (!staticOutput_) {
        const ov::Shape shape = out.get_shape();
        output_.shape.assign(shape.begin(), shape.end());
    }
    return output_;
}

}  // namespace zrv::engine
