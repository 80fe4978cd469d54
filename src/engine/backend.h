// The one small interface between the engine and an inference runtime. The engine owns the
// letterbox canvas's contents and everything before and after the forward pass; a backend
// only prepares a model file for one input size and runs it, so that backends differ in
// the forward pass alone.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "engine/detector_output.h"
#include "engine/onnx_graph_facts.h"

namespace zrv::engine {

enum class BackendKind {
    OpenVino,  // the fast path: OpenVINO's CPU runtime
    OpenCv,    // the plain reference: OpenCV's DNN module
};

const char* BackendName(BackendKind kind);
// The backend libZRVLIB is built for (ZRV_ENGINE_BACKEND).
BackendKind DefaultBackend();
// Whether this build carries `kind` (the OpenVINO backend needs the runtime at build time).
bool BackendAvailable(BackendKind kind);

class InferenceBackend {
public:
    virtual ~InferenceBackend() = default;

    // Prepares `onnxPath` to run at `input` (width x height), with `facts` read from the same
    // file. On success fills `outputShape` (-1 where the graph leaves an axis open until
    // it runs) of the detection output: the only output, or of several the one named
    // "output0" (else the first of rank 3), as a segmentation export's detections beside
    // its mask prototypes. On failure returns false with one line naming the cause and what to export
    // instead; nothing is printed.
    virtual bool Load(const std::string& onnxPath, const OnnxGraphFacts& facts, cv::Size input,
                      std::vector<int64_t>& outputShape, std::string& why) = 0;
    // The canvas to letterbox into: 8-bit BGR, the input size, allocated once at load and
    // handed to the runtime without a copy.
    virtual cv::Mat& Canvas() = 0;
    // Runs the network on the canvas. The result stays valid until the next call.
    // Throws std::exception (cv::Exception, std::runtime_error) when the runtime fails.
    virtual const OutputTensor& Forward() = 0;
    // The arithmetic the compiled model runs in, for the load line and the host's metrics:
    // "f32", "bf16", "f16" (never empty once loaded).
    virtual std::string Precision() const = 0;
};

// Which of a graph's outputs holds the detections: the one named "output0", else the first
// whose rank is 3 (-1 when the rank is not known counts too), else the first.
size_t DetectionOutputIndex(const std::vector<std::string>& names, const std::vector<int64_t>& ranks);

// Whether the settings the `kind` backend reads from the environment (once per process)
// can be used; false with one line naming the variable and the values it takes. Only the
// OpenVINO backend has settings (ZRV_ENGINE_THREADS, ZRV_ENGINE_PRECISION).
bool BackendSettingsUsable(BackendKind kind, std::string& why);

// A backend of `kind`; null when this build does not carry it.
std::unique_ptr<InferenceBackend> MakeBackend(BackendKind kind);

}  // namespace zrv::engine
