#include "engine/detection_model.h"

#include <algorithm>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgproc.hpp>

#include "common/pixel_types.h"
#include "engine/onnx_input_shape.h"

namespace zrv::engine {
namespace {

// OpenCV 4.6 cannot report a model's input size. A static-shape model accepts only its own
// size: shape inference throws for the others. Common sizes first.
constexpr int kCandidateSizes[] = {640, 320, 416, 480, 512, 608, 736, 768, 800, 896, 960, 1024,
                                   1280, 224, 256, 288, 384, 448, 544, 576, 672, 704, 832, 1088};

// The output shape for a square input of `size`, without OpenCV printing anything when the
// size does not fit: shape inference reports that through its logger before throwing.
bool OutputShapeAt(cv::dnn::Net& net, int outLayer, int size, std::vector<int>& shape) {
    const auto level = cv::utils::logging::getLogLevel();
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    bool ok = false;
    try {
        std::vector<cv::dnn::MatShape> in, out;
        net.getLayerShapes(cv::dnn::MatShape{1, 3, size, size}, outLayer, in, out);
        ok = !out.empty();
        if (ok) shape = out[0];
    } catch (const cv::Exception&) {
        // Not this size.
    }
    cv::utils::logging::setLogLevel(level);
    return ok;
}

std::string OneLine(const cv::Exception& e) {
    std::string text = e.err.empty() ? e.what() : e.err;
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

}  // namespace

bool DetectionModel::Load(const std::string& onnxPath, int classCount, bool preferCuda,
                          std::string& why, std::string& note) {
    *this = DetectionModel();
    note.clear();
    const char* advice =
        " (export with static shapes at opset 12; for anchor-free exports run "
        "tools/fix_broadcast.py, see the README)";
    cv::dnn::Net net;
    try {
        net = cv::dnn::readNetFromONNX(onnxPath);
    } catch (const cv::Exception& e) {
        why = "cannot read the ONNX model: " + OneLine(e) + advice;
        return false;
    }
    if (net.empty()) {
        why = "the file holds no network";
        return false;
    }
    const bool cuda = preferCuda && !cv::dnn::getAvailableTargets(cv::dnn::DNN_BACKEND_CUDA).empty();
    net.setPreferableBackend(cuda ? cv::dnn::DNN_BACKEND_CUDA : cv::dnn::DNN_BACKEND_OPENCV);
    net.setPreferableTarget(cuda ? cv::dnn::DNN_TARGET_CUDA : cv::dnn::DNN_TARGET_CPU);

    const std::vector<int> outLayers = net.getUnconnectedOutLayers();
    if (outLayers.size() != 1) {
        why = "the model has " + std::to_string(outLayers.size()) + " outputs; one is supported";
        return false;
    }
    // The input size the graph declares; probed only when the graph leaves it open.
    OnnxInputShape declared;
    if (!ReadOnnxInputShape(onnxPath, declared, why)) {
        why = "cannot read the ONNX model: " + why;
        return false;
    }
    const bool hasShape = declared.dims.size() == 4;
    if (!declared.dims.empty() && !hasShape) {
        why = "the input '" + declared.name + "' has " + std::to_string(declared.dims.size()) +
              " axes; an image input [1, 3, size, size] is expected";
        return false;
    }
    const int64_t height = hasShape ? declared.dims[2] : -1;
    const int64_t width = hasShape ? declared.dims[3] : -1;
    std::vector<int> outputShape;
    if (height > 0 && width > 0) {
        if (height != width || height > 8192) {
            why = "the input '" + declared.name + "' is " + std::to_string(width) + " x " +
                  std::to_string(height) + "; a square input of at most 8192 is supported" + advice;
            return false;
        }
        if (!OutputShapeAt(net, outLayers[0], static_cast<int>(height), outputShape)) {
            why = "OpenCV cannot infer the output shape at the declared input size " +
                  std::to_string(height) + advice;
            return false;
        }
        inputSize_ = static_cast<int>(height);
    } else {
        for (int size : kCandidateSizes) {
            if (OutputShapeAt(net, outLayers[0], size, outputShape)) {
                inputSize_ = size;
                break;
            }
        }
        if (inputSize_ == 0) {
            why = "the input '" + declared.name + "' leaves its size open (dynamic axes) and no " +
                  "common square size works" + advice;
            return false;
        }
        note = "the input '" + declared.name + "' leaves its size open (dynamic axes); running at " +
               std::to_string(inputSize_) + " x " + std::to_string(inputSize_) + advice;
    }
    const auto format = IdentifyOutput(outputShape, classCount, why);
    if (!format) return false;
    format_ = *format;

    net_ = net;
    outputNames_ = net_.getUnconnectedOutLayersNames();
    try {
        // Runs every layer once: a model OpenCV cannot execute fails here, not at a frame.
        WarmUp();
        const auto& out = outputs_.at(0);
        const std::vector<int> shape(out.size.p, out.size.p + out.dims);
        if (shape != outputShape) {
            why = "the model's output shape changes when it runs" + std::string(advice);
            *this = DetectionModel();
            return false;
        }
    } catch (const cv::Exception& e) {
        why = "OpenCV cannot run the model: " + OneLine(e) + advice;
        *this = DetectionModel();
        return false;
    }
    loaded_ = true;
    return true;
}

void DetectionModel::Forward(const cv::Mat& bgr) {
    letterbox_ = DrawLetterboxed(bgr, inputSize_, canvas_);
    cv::dnn::blobFromImage(canvas_, blob_, 1.0 / 255.0, cv::Size(), cv::Scalar(), /*swapRB=*/true,
                           /*crop=*/false, CV_32F);
    net_.setInput(blob_);
    net_.forward(outputs_, outputNames_);
}

void DetectionModel::WarmUp() {
    cv::Mat grey(inputSize_, inputSize_, CV_8UC3, cv::Scalar::all(114));
    Forward(grey);
}

void DetectionModel::Detect(const cv::Mat& image, float minScore, float iouThreshold,
                            std::vector<Candidate>& detections) {
    detections.clear();
    if (!loaded_ || image.empty() || !zrv::pixels::Supported(image.type())) return;
    const cv::Mat& eight = zrv::pixels::AsEightBit(image, scaled_);
    const cv::Mat* bgr = &eight;
    if (eight.channels() == 1) {
        cv::cvtColor(eight, converted_, cv::COLOR_GRAY2BGR);
        bgr = &converted_;
    } else if (eight.channels() == 4) {
        cv::cvtColor(eight, converted_, cv::COLOR_BGRA2BGR);
        bgr = &converted_;
    }
    Forward(*bgr);
    raw_.clear();
    DecodeOutput(outputs_[0], format_, minScore, letterbox_, raw_);
    SuppressPerClass(raw_, iouThreshold, order_, detections);
}

}  // namespace zrv::engine
