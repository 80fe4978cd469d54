#include "engine/detection_model.h"

#include <opencv2/imgproc.hpp>

#include "common/pixel_types.h"

namespace zrv::engine {
namespace {

constexpr int64_t kDefaultInputSide = 640;
constexpr int64_t kMaxInputSide = 8192;

bool EndsInItsOwnSelection(const OnnxGraphFacts& facts) {
    return facts.opTypes.count("TopK") || facts.opTypes.count("NonMaxSuppression");
}

}  // namespace

bool ChooseInputSize(const OnnxGraphFacts& facts, cv::Size& input, std::string& note, std::string& why) {
    note.clear();
    const auto& dims = facts.input.dims;
    const std::string name = "the input '" + facts.input.name + "'";
    if (facts.inputCount != 1) {
        why = "the graph has " + std::to_string(facts.inputCount) +
              " inputs; export a detector with one image input [1, 3, H, W]";
        return false;
    }
    if (!dims.empty() && (dims.size() != 4 || (dims[1] != 3 && dims[1] != -1) || dims[0] > 1)) {
        std::string shape;
        for (int64_t d : dims) shape += (shape.empty() ? "" : ", ") + (d < 0 ? std::string("?") : std::to_string(d));
        why = name + " is [" + shape + "]; an image input [1, 3, H, W] is expected";
        return false;
    }
    int64_t height = dims.empty() ? -1 : dims[2];
    int64_t width = dims.empty() ? -1 : dims[3];
    if (height < 0 || width < 0) {
        const bool recorded = facts.metadataHeight > 0;
        if (height < 0) height = recorded ? facts.metadataHeight : kDefaultInputSide;
        if (width < 0) width = recorded ? facts.metadataWidth : kDefaultInputSide;
        note = name + " leaves its size open; running at " + std::to_string(width) + " x " + std::to_string(height) +
               (recorded ? ", the size its export recorded" : ", as the export recorded no size");
    }
    if (height < 32 || width < 32 || height > kMaxInputSide || width > kMaxInputSide) {
        why = name + " is " + std::to_string(width) + " x " + std::to_string(height) +
              "; sides from 32 to " + std::to_string(kMaxInputSide) + " are supported";
        return false;
    }
    input = cv::Size(static_cast<int>(width), static_cast<int>(height));
    return true;
}

bool DetectionModel::Load(const std::string& onnxPath, int classCount, std::string& why, std::string& note) {
    backend_.reset();
    note.clear();
    OnnxGraphFacts facts;
    if (!ReadOnnxGraphFacts(onnxPath, facts, why)) return false;
    cv::Size input;
    if (!ChooseInputSize(facts, input, note, why)) return false;
    auto backend = MakeBackend(kind_);
    if (!backend) {
        why = std::string("this build has no ") + BackendName(kind_) + " backend";
        return false;
    }
    std::vector<int64_t> outputShape;
    if (!backend->Load(onnxPath, facts, input, outputShape, why)) return false;
    const auto format = IdentifyOutput(outputShape, classCount, EndsInItsOwnSelection(facts), why);
    if (!format) return false;
    format_ = *format;
    input_ = input;
    backend_ = std::move(backend);
    return true;
}

void DetectionModel::WarmUp() {
    if (!backend_) return;
    backend_->Canvas().setTo(cv::Scalar::all(114));
    backend_->Forward();
}

void DetectionModel::Detect(const cv::Mat& image, float minScore, float iouThreshold,
                            std::vector<Candidate>& detections) {
    detections.clear();
    lastDecode_ = DecodeCounts{};
    if (!backend_ || image.empty() || !zrv::pixels::Supported(image.type())) return;
    const cv::Mat& eight = zrv::pixels::AsEightBit(image, scaled_);
    const cv::Mat* bgr = &eight;
    if (eight.channels() == 1) {
        cv::cvtColor(eight, converted_, cv::COLOR_GRAY2BGR);
        bgr = &converted_;
    } else if (eight.channels() == 4) {
        cv::cvtColor(eight, converted_, cv::COLOR_BGRA2BGR);
        bgr = &converted_;
    }
    const Letterbox letterbox = DrawLetterboxed(*bgr, input_, backend_->Canvas());
    const OutputTensor& output = backend_->Forward();
    raw_.clear();
    if (!DecodeOutput(output, format_, minScore, raw_, &lastDecode_)) return;
    if (format_.layout == OutputLayout::EndToEnd) {
        detections.swap(raw_);
    } else {
        SuppressPerClass(raw_, iouThreshold, order_, detections);
    }
    MapToImage(detections, letterbox);
}

}  // namespace zrv::engine
