// Engine-facing boundary: the detection record and the operations of the inference
// engine. The implementation stays behind an opaque pointer so that different engines
// (the real engine on either backend, the scripted test engine) can sit behind this one
// header.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/cuda.hpp>

#include "zrv/export.h"

namespace ZORAVELIN {

// One detection as the engine reports it. `box` is in the pixel coordinates of the
// image the engine was handed. Its members are kept identical, on purpose, to those of
// CustomObject (ZRVCustomClass.h), the host's record of a detection.
struct Object {
    int32_t classId = 0;
    int32_t auxId = 0;
    std::string className;
    float confidence = 0.0f;
    cv::Rect box{0, 0, 0, 0};
    std::vector<int64_t> auxList;
    cv::Mat auxMat;
    cv::cuda::GpuMat auxGpuMat;
    std::vector<float> auxValues;
    std::string extraInfo;
    std::string cameraId;
};

// One engine instance holding one model. Instances are made by Create and released by
// Destroy only (or through ZRVLIBHandle); they are neither copied nor moved.
//
// Runtime: the forward pass runs on OpenVINO's CPU runtime (or, in a build made with
// ZRV_ENGINE_BACKEND=opencv, on OpenCV's DNN module, the plain reference). Everything
// around it is the engine's own and the same for both: the letterbox, the decoding of
// the output and the suppression.
//
// Shared and per instance: the compiled network is shared by every instance in the process
// that loads the same model file (same file on disk, unchanged) at the same input size, and
// released with the last of them; sixteen cameras on one model hold one network. Each
// instance has its own inference request, its own input and output buffers, its class
// names, thresholds and motion state. The runtime's CPU threads are set once per process,
// at the first load: ZRV_ENGINE_THREADS (1 to 1024) if set in the environment before that,
// else every physical core; concurrent calls on instances sharing a network queue for those
// threads. ZRV_ENGINE_PRECISION ("f32", the default, "bf16", "f16" or "auto") is read at the
// same time. A value outside those (ZRV_ENGINE_THREADS=abc, 0 or 999999, BF16) is
// refused, not ignored: every LoadModelFromFolder of the process then fails with one line
// naming the variable and the values it takes. Unset or empty means the default. Only the
// OpenVINO backend reads them.
//
// Threads: an instance is not thread-safe; the caller serialises the calls on one
// instance (the detector does, under its lock). Separate instances, whether or not they
// share a network, may be called concurrently from any threads, including their
// LoadModelFromFolder and Destroy.
// Exceptions: Create throws std::bad_alloc when out of memory; LoadModelFromFolder,
// GetEngineType, Optimize and Destroy never throw; RunInference and DetectMovement may let
// a std::exception through (cv::Exception, the runtime's std::runtime_error,
// std::bad_alloc; the detector turns those into an empty result).
// Return codes: 1 means success; 0 means failure (nothing loaded, nothing detected).
class ZRVLIB_API ZRVLIB {
public:
    // A new instance, owned by the caller until handed to Destroy.
    static ZRVLIB* Create();
    // Releases an instance made by Create; null is ignored.
    static void Destroy(ZRVLIB* instance);

    // Loads <folder>/<modelName>.onnx with the class file <folder>/<classFile> (one class
    // name per line, at most 100000) and writes the label map ("<id> <name>" per line) into
    // labelMap. Returns 1 when the model is loaded; 0 on failure, after one line (on
    // standard error, or to ZRVLIB_SetMessageSink's sink) naming the file and the cause (the node or layout, and what
    // to export instead), with no model kept. The runtime prints nothing of its own.
    //
    // The model: one image input [1, 3, H, W] (RGB, scaled to [0, 1]; float32 or float16;
    // batch and sides may be open) and one output in one of these layouts, told apart by
    // the class count of the class file:
    //   [1, 4 + C, N]   anchor-free: cx, cy, w, h, then C class scores per anchor
    //   [1, N, 4 + C]   the same transposed
    //   [1, N, 5 + C]   objectness: cx, cy, w, h, objectness, then C class scores
    //   [1, K, 6]       end-to-end (a graph ending in TopK or NonMaxSuppression): x1, y1,
    //                   x2, y2, score, class, already suppressed
    // Box values are in network-input pixels. The input size is the one the graph declares;
    // for open sides, the size the export recorded in its metadata ("imgsz"), else 640,
    // said in one line (like a failure's reason).
    //
    // The export's metadata, where it has some, is checked: "names" against the class file's
    // count, "imgsz" against the input size, "stride" must divide it; "task" pose and
    // segment load ([1, 4 + C + extra, N]: keypoints or mask coefficients follow the class
    // scores and are skipped; a segmentation export's second output, its mask prototypes, is
    // not run); obb and classify are refused. With loadEngineOnCreate, the warm-up run must
    // give class scores within [0, 1], else the load fails; without it, the first
    // RunInference does that check and, failing, unloads the model and returns 0.
    // A successful load says one line: the model's task, classes, input size and precision.
    //
    // Arguments: scoreThreshold sets the score floor, min(scoreThreshold, 0.25) and at
    // least 0.001; nmsThreshold is the suppression's IoU threshold (0 < t <= 1, else 0.5);
    // loadEngineOnCreate runs the model once now so that the first frame does not pay for
    // it. reserved, extraThreshold, batchSize, modelType and detectionType are carried for
    // hosts and not used. The char pointers are read during the call only; null counts as "".
    int LoadModelFromFolder(const char* reserved, const char* modelName, const char* classFile,
                            float scoreThreshold, float nmsThreshold, float extraThreshold,
                            int batchSize, int modelType, int detectionType, int loadEngineOnCreate,
                            const char* folder, std::string& labelMap);
    // 1 stands for an NVIDIA GPU usable by the engine, any other value for the CPU. Both
    // backends run on the CPU: always 0.
    int GetEngineType();
    // Warms the loaded model up (one run on a grey canvas); the flag is not used. 1 on
    // success, 0 when no model is loaded or the warm-up run fails (when it is the model's
    // first run and scores outside [0, 1], the model is unloaded, said as a failed load).
    int Optimize(bool flag);
    // Replaces `objects` with the detections in `image`, boxes in the coordinates of
    // `image`. `image` may be a view into a larger frame; it is only read, never copied.
    // Post-processing, in the order the training tools validate: the score floor, then
    // class-aware suppression on the unclipped boxes in network-input pixels, then the
    // kept boxes mapped back through the letterbox and clipped to `image` (a box left
    // without area is dropped). End-to-end outputs skip the suppression.
    // Anchors whose score or box is NaN or infinite (a broken export) are dropped; the first
    // call after a load that meets them says so in one line (as a load's failure is said),
    // naming the model and how many of the image's anchors were dropped. Candidates scoring
    // above 1 are dropped too, said once per camera id with their count in that image.
    // Returns 1 when the model ran, 0 when nothing is loaded or the image is empty (or this
    // was the model's first run and it failed the score check: see LoadModelFromFolder).
    int RunInference(cv::Mat image, const char* cameraId, std::vector<Object>& objects);
    // Replaces `objects` with the moving regions of `image` (only `box` is set), in the
    // coordinates of `image`. The background is kept per camera id, in the coordinates of
    // the frame `image` is a view of, so successive calls may hand different views of one
    // frame size. Returns 1.
    int DetectMovement(cv::Mat image, const char* cameraId, std::vector<Object>& objects);

    ZRVLIB(const ZRVLIB&) = delete;
    ZRVLIB& operator=(const ZRVLIB&) = delete;

    struct Impl;

private:
    ZRVLIB();
    ~ZRVLIB();
    std::unique_ptr<Impl> impl_;
};

// Owning handle of an engine instance: releases it through ZRVLIB::Destroy.
struct ZRVLIBDeleter {
    void operator()(ZRVLIB* instance) const noexcept { ZRVLIB::Destroy(instance); }
};
using ZRVLIBHandle = std::unique_ptr<ZRVLIB, ZRVLIBDeleter>;

}  // namespace ZORAVELIN

// Receives each line the engine writes of its own (why a load failed, the note on an
// assumed input size, the note on NaN or infinite outputs): `line` has no end of line and
// lives only for the call.
typedef void (*ZRVLIBMessageSink)(const char* line, void* context);

extern "C" {
// Routes the engine's own lines to `sink` (called with `context` on the thread that loads or
// runs the model, outside the engine's locks, once the engine is done with the instance);
// null restores the default: the line and a flushing end of line on standard error.
// Process-wide; callable from any thread.
//
// The plug-in module installs its own console here at its first Initialize, replacing any
// sink set before, so that these lines reach a host's SetConsoleSink (ZRVCustomClass.h),
// or the module's standard error, like the module's other lines; a host of the module
// routes them with SetConsoleSink, not here. The module looks this function up as optional:
// an engine built without it still serves the module, and its lines then stay on standard
// error.
ZRVLIB_API void ZRVLIB_SetMessageSink(ZRVLIBMessageSink sink, void* context);
}
