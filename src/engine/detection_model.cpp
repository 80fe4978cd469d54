#include "engine/detection_model.h"

#include <cmath>
#include <cstdio>

#include <opencv2/imgproc.hpp>

#include "common/pixel_types.h"
#include "engine/model_folder.h"

namespace zrv::engine {
namespace {

constexpr int64_t kDefaultInputSide = 640;
constexpr int64_t kMaxInputSide = 8192;

bool EndsInItsOwnSelection(const OnnxGraphFacts& facts) {
    return facts.opTypes.count("TopK") || facts.opTypes.count("NonMaxSuppression");
}

// Text from the model file as a line may show it: control characters (a line break would
// forge a line) as '?', at most 60 bytes.
std::string Shown(const std::string& text) {
    std::string shown = text.substr(0, 60);
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    return shown + (text.size() > 60 ? "..." : "");
}

// Refuses the tasks whose output is not boxes with class scores, saying what to export.
bool TaskReadable(const std::string& task, std::string& why) {
    if (task.empty() || task == "detect" || task == "pose" || task == "segment") return true;
    if (task == "obb") {
        why =
            "the export's task is 'obb' (rotated boxes, one angle per box), which the engine does not read; "
            "export a 'detect' model of the same classes instead";
    } else if (task == "classify") {
        why =
            "the export's task is 'classify' (one label per image, no boxes), which the engine does not read; "
            "export a 'detect' model instead";
    } else {
        why = "the export's task is '" + Shown(task) +
              "', which the engine does not read (it reads detect, pose and segment); export a 'detect' model instead";
    }
    return false;
}

// The checks of the export's metadata that need no runtime: its class names against the
// class file, its input size and stride against the size taken, and its outputs.
bool MetadataAgrees(const OnnxGraphFacts& facts, int classCount, const std::string& classPath, cv::Size input,
                    std::string& why) {
    const std::string classFile = classPath.empty() ? "the class file" : "the class file '" + classPath + "'";
    const auto& names = facts.metadataNames;
    if (!names.empty() && static_cast<int64_t>(names.size()) != classCount) {
        why = classFile + " names " + std::to_string(classCount) + (classCount == 1 ? " class" : " classes") +
              " but the export names " + ClassSummary(names) + "; write the export's class names in it, one per line";
        return false;
    }
    if (facts.metadataHeight > 0 && (facts.metadataHeight != input.height || facts.metadataWidth != input.width)) {
        why = "the graph's input is " + std::to_string(input.width) + " x " + std::to_string(input.height) +
              " but its export recorded imgsz " + std::to_string(facts.metadataWidth) + " x " +
              std::to_string(facts.metadataHeight) + " (width x height); export again at the size it is to run at";
        return false;
    }
    if (facts.metadataStride > 0 && (input.width % facts.metadataStride || input.height % facts.metadataStride)) {
        why = "the input " + std::to_string(input.width) + " x " + std::to_string(input.height) +
              " is not a multiple of the export's stride " + std::to_string(facts.metadataStride);
        return false;
    }
    const bool segment = facts.metadataTask == "segment";
    if (facts.outputCount > 1 && !segment) {
        why = "the graph has " + std::to_string(facts.outputCount) +
              " outputs; export the detection head alone (one output, no mask or feature outputs)";
        return false;
    }
    if (segment && facts.outputCount != 2) {
        why = "the export's task is 'segment' but the graph has " + std::to_string(facts.outputCount) +
              " outputs; a segmentation export has two (detections, then mask prototypes)";
        return false;
    }
    if (facts.metadataTask == "pose" && facts.metadataKeypoints.size() != 2) {
        why =
            "the export's task is 'pose' but it records no readable kpt_shape (keypoints, values each), "
            "so the values after the class scores cannot be told apart";
        return false;
    }
    return true;
}

// The values per anchor after the class scores: keypoints of a pose export; a segmentation
// export's mask coefficients, as many as its prototypes have channels (taken from the
// detection output when the graph does not declare them).
int ExtraChannels(const OnnxGraphFacts& facts, const std::vector<int64_t>& outputShape, int classCount) {
    if (facts.metadataTask == "pose") {
        return static_cast<int>(facts.metadataKeypoints[0] * facts.metadataKeypoints[1]);
    }
    if (facts.metadataTask != "segment") return 0;
    for (const OnnxInputShape& output : facts.outputs) {
        if (output.name != "output0" && output.dims.size() == 4 && output.dims[1] > 0) {
            return static_cast<int>(output.dims[1]);
        }
    }
    if (outputShape.size() != 3) return 0;
    const int64_t values = std::min(outputShape[1], outputShape[2]);  // the channels; anchors are many more
    return values > 4 + classCount ? static_cast<int>(values - 4 - classCount) : 0;
}

// A score as the first-run line shows it: whole above 100, else three figures.
std::string ScoreText(float value) {
    char text[32];
    if (std::fabs(value) >= 100.0f) {
        std::snprintf(text, sizeof text, "%.0f", static_cast<double>(value));
    } else {
        std::snprintf(text, sizeof text, "%.3g", static_cast<double>(value));
    }
    return text;
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

bool DetectionModel::Load(const std::string& onnxPath, int classCount, std::string& why, std::string& note,
                          const std::string& classPath) {
    backend_.reset();
    note.clear();
    ran_ = false;
    firstRunProblem_.clear();
    OnnxGraphFacts facts;
    if (!ReadOnnxGraphFacts(onnxPath, facts, why)) return false;
    if (!TaskReadable(facts.metadataTask, why)) return false;
    cv::Size input;
    if (!ChooseInputSize(facts, input, note, why)) return false;
    if (!MetadataAgrees(facts, classCount, classPath, input, why)) return false;
    auto backend = MakeBackend(kind_);
    if (!backend) {
        why = std::string("this build has no ") + BackendName(kind_) + " backend";
        return false;
    }
    std::vector<int64_t> outputShape;
    if (!backend->Load(onnxPath, facts, input, outputShape, why)) return false;
    const int extra = ExtraChannels(facts, outputShape, classCount);
    const auto format = IdentifyOutput(outputShape, classCount, EndsInItsOwnSelection(facts), why, extra);
    if (!format) {
        if (extra > 0) why = "(task " + facts.metadataTask + ") " + why;
        return false;
    }
    format_ = *format;
    input_ = input;
    task_ = facts.metadataTask.empty() ? "detect" : facts.metadataTask;
    readByShapes_ = facts.metadataTask.empty();
    classPath_ = classPath;
    backend_ = std::move(backend);
    return true;
}

void DetectionModel::CheckFirstRun(const OutputTensor& output) {
    ran_ = true;
    float lowest = 0.0f, highest = 0.0f;
    if (!ScoreExtremes(output, format_, lowest, highest)) return;
    const bool high = highest > 1.0f + kScoreTolerance;
    if (!high && !(lowest < -kScoreTolerance)) return;
    firstRunProblem_ = (high ? "scores up to " + ScoreText(highest) : "scores down to " + ScoreText(lowest)) +
                       ": the output is not what the class file describes (" + std::to_string(format_.classes) +
                       (format_.classes == 1 ? " class" : " classes") +
                       (classPath_.empty() ? std::string() : " in '" + classPath_ + "'") +
                       "; class scores lie in [0, 1])";
}

void DetectionModel::WarmUp() {
    if (!backend_) return;
    backend_->Canvas().setTo(cv::Scalar::all(114));
    const OutputTensor& output = backend_->Forward();
    if (!ran_) CheckFirstRun(output);
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
    if (!ran_) CheckFirstRun(output);
    if (!firstRunProblem_.empty()) return;
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
