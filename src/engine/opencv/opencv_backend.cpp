#include "engine/opencv/opencv_backend.h"

#include <algorithm>

#include <opencv2/core/utils/logger.hpp>

namespace zrv::engine {
namespace {

// OpenCV prints its importer's complaints through its logger before it throws; a failed
// load must say its cause in one line of ours, so the logger is silent while a model loads.
class SilentOpenCvLog {
public:
    SilentOpenCvLog() : level_(cv::utils::logging::getLogLevel()) {
        cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    }
    ~SilentOpenCvLog() { cv::utils::logging::setLogLevel(level_); }
    SilentOpenCvLog(const SilentOpenCvLog&) = delete;
    SilentOpenCvLog& operator=(const SilentOpenCvLog&) = delete;

private:
    cv::utils::logging::LogLevel level_;
};

std::string OneLine(const cv::Exception& e) {
    std::string text = e.err.empty() ? e.what() : e.err;
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

constexpr const char* kUseOpenVino = "; build the engine with the OpenVINO backend to run it";

}  // namespace

std::string OpenCvRefusal(const OnnxGraphFacts& facts) {
    std::vector<std::string> causes;
    if (facts.splitWithSizes && facts.opset >= 13) {
        causes.push_back("node '" + facts.FirstNodeOf("Split") + "' is a Split with a sizes input (opset " +
                         std::to_string(facts.opset) + "), which OpenCV 4.6 cuts into equal parts");
    }
    if (facts.float16) causes.push_back("the graph has float16 weights or inputs");
    for (const char* op : {"NonMaxSuppression", "TopK"}) {
        if (facts.opTypes.count(op)) {
            causes.push_back("node '" + facts.FirstNodeOf(op) + "' (" + op + ") makes an end-to-end head");
            break;
        }
    }
    for (const char* op : {"Range", "NonZero", "Loop", "If"}) {
        if (facts.opTypes.count(op)) {
            causes.push_back("node '" + facts.FirstNodeOf(op) + "' (" + op + ") computes shapes while the graph runs");
            break;
        }
    }
    if (causes.empty()) return {};
    std::string why;
    for (const std::string& cause : causes) why += (why.empty() ? "" : "; ") + cause;
    return why + kUseOpenVino + ", or export at opset 12 in float32 with a fixed input size and the raw head";
}

bool OpenCvBackend::Load(const std::string& onnxPath, const OnnxGraphFacts& facts, cv::Size input,
                         std::vector<int64_t>& outputShape, std::string& why) {
    why = OpenCvRefusal(facts);
    if (!why.empty()) return false;
    const SilentOpenCvLog silent;
    try {
        net_ = cv::dnn::readNetFromONNX(onnxPath);
    } catch (const cv::Exception& e) {
        why = "OpenCV cannot read the graph: " + OneLine(e) + kUseOpenVino;
        return false;
    }
    if (net_.empty()) {
        why = "the file holds no network";
        return false;
    }
    net_.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    net_.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
    const std::vector<int> outLayers = net_.getUnconnectedOutLayers();
    const std::vector<std::string> outNames = net_.getUnconnectedOutLayersNames();
    if (outLayers.empty() || outNames.size() != outLayers.size()) {
        why = "the graph has no output OpenCV can find" + std::string(kUseOpenVino);
        return false;
    }
    // Of several outputs (a segmentation export's detections and mask prototypes) only the
    // detections are computed; the ranks are unknown until the shapes are inferred.
    const size_t chosen = DetectionOutputIndex(outNames, std::vector<int64_t>(outNames.size(), -1));
    try {
        std::vector<cv::dnn::MatShape> in, out;
        net_.getLayerShapes(cv::dnn::MatShape{1, 3, input.height, input.width}, outLayers[chosen], in, out);
        if (out.empty()) throw cv::Exception(0, "no output shape", "", "", 0);
        outputShape.assign(out[0].begin(), out[0].end());
    } catch (const cv::Exception& e) {
        why = "OpenCV cannot infer the output shape at " + std::to_string(input.width) + " x " +
              std::to_string(input.height) + ": " + OneLine(e) + kUseOpenVino;
        return false;
    }
    outputNames_ = {outNames[chosen]};
    canvas_.create(input, CV_8UC3);
    canvas_.setTo(cv::Scalar::all(114));
    try {
        // Runs every layer once: a graph OpenCV cannot execute fails here, not at a frame.
        const OutputTensor& first = Forward();
        if (first.shape != outputShape) {
            why = "the graph's output shape changes when it runs" + std::string(kUseOpenVino);
            return false;
        }
    } catch (const cv::Exception& e) {
        why = "OpenCV cannot run the graph: " + OneLine(e) + kUseOpenVino;
        return false;
    }
    return true;
}

const OutputTensor& OpenCvBackend::Forward() {
    cv::dnn::blobFromImage(canvas_, blob_, 1.0 / 255.0, cv::Size(), cv::Scalar(), /*swapRB=*/true,
                           /*crop=*/false, CV_32F);
    net_.setInput(blob_);
    net_.forward(outputs_, outputNames_);
    const cv::Mat& out = outputs_.at(0);
    output_.data = out.ptr<float>();
    output_.shape.assign(out.size.p, out.size.p + out.dims);
    return output_;
}

}  // namespace zrv::engine
