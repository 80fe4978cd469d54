// One ONNX detector: load with validation, then per image: letterbox into the backend's
// canvas, forward pass, decode, suppression and mapping back, with buffers reused between
// calls. Which backend runs the forward pass is the only thing that differs between builds.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/backend.h"
#include "engine/detector_output.h"

namespace zrv::engine {

// The network input size for a graph: the size it declares; for axes it leaves open, the
// size its export recorded in the metadata, else 640 (`note` then says which was taken).
// False with a reason when the input is not an image input or the size is out of range.
bool ChooseInputSize(const OnnxGraphFacts& facts, cv::Size& input, std::string& note, std::string& why);

class DetectionModel {
public:
    explicit DetectionModel(BackendKind backend = DefaultBackend()) : kind_(backend) {}

    // Reads and validates the model; on failure returns false with a one-line reason and
    // leaves this object unloaded. `classCount` comes from the class file. `note` is set
    // when the input size was not declared by the graph.
    bool Load(const std::string& onnxPath, int classCount, std::string& why, std::string& note);
    bool loaded() const { return backend_ != nullptr; }
    cv::Size inputSize() const { return input_; }
    const OutputFormat& format() const { return format_; }

    // Detections in the pixels of `image` (a view of a larger frame is fine), after the
    // score cut, per-class suppression on the network's unclipped boxes, then mapping back
    // and clipping. `detections` is overwritten; it stays empty for pixel types the engine
    // does not take (common/pixel_types.h).
    void Detect(const cv::Mat& image, float minScore, float iouThreshold, std::vector<Candidate>& detections);
    // What the decode of the last Detect saw: its anchors, and those dropped for values that
    // are not finite (zero when the network did not run).
    const DecodeCounts& lastDecode() const { return lastDecode_; }
    // One inference on a grey canvas, so that later calls do not pay first-run costs.
    void WarmUp();

private:
    BackendKind kind_;
    std::unique_ptr<InferenceBackend> backend_;
    cv::Size input_;
    OutputFormat format_{};
    // Reused between calls.
    cv::Mat scaled_, converted_;
    std::vector<Candidate> raw_;
    std::vector<int> order_;
    DecodeCounts lastDecode_;
};

}  // namespace zrv::engine
