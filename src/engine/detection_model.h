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
    // leaves this object unloaded. `classCount` comes from the class file (`classPath`,
    // for messages). `note` is set when the input size was not declared by the graph.
    //
    // The export's metadata, where it has some, is checked against the rest: its task
    // (detect; pose and segment, whose keypoints or mask coefficients after the class
    // scores are skipped; obb and classify are refused), its class names against the class
    // file's count, its recorded input size against the one taken, and its stride must
    // divide that size. A model without metadata is read by its output's shape alone.
    bool Load(const std::string& onnxPath, int classCount, std::string& why, std::string& note,
              const std::string& classPath = {});
    bool loaded() const { return backend_ != nullptr; }
    cv::Size inputSize() const { return input_; }
    const OutputFormat& format() const { return format_; }
    // The task read: "detect", "pose" or "segment"; "detect" for a model without a task.
    const std::string& task() const { return task_; }
    // Whether the model recorded no task, so that its output was read by its shape alone.
    bool readByShapes() const { return readByShapes_; }
    // The arithmetic the backend runs the model in ("f32", "bf16", "f16"); empty unloaded.
    std::string precision() const { return backend_ ? backend_->Precision() : std::string(); }
    // Empty until the first run (warm-up or Detect); then, when that run gave class scores
    // outside [0, 1], one line saying so: the output is not what the class file describes,
    // and the caller must treat the load as failed (Detect then finds nothing).
    const std::string& firstRunProblem() const { return firstRunProblem_; }
    // Whether the model has run once since it was loaded.
    bool hasRun() const { return ran_; }

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
    // Checks the scores of the first run (firstRunProblem).
    void CheckFirstRun(const OutputTensor& output);

    BackendKind kind_;
    std::unique_ptr<InferenceBackend> backend_;
    cv::Size input_;
    OutputFormat format_{};
    std::string task_ = "detect";
    bool readByShapes_ = true;
    std::string classPath_;
    bool ran_ = false;
    std::string firstRunProblem_;
    // Reused between calls.
    cv::Mat scaled_, converted_;
    std::vector<Candidate> raw_;
    std::vector<int> order_;
    DecodeCounts lastDecode_;
};

}  // namespace zrv::engine
