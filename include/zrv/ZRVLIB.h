// Engine-facing boundary: the detection record and the operations of the inference
// engine. The implementation stays behind an opaque pointer so that different engines
// (the OpenCV engine, the scripted test engine) can sit behind this one header.
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
// Threads: an instance is not thread-safe; the caller serialises the calls on one
// instance (the detector does, under its lock). Separate instances share nothing and may
// run in parallel.
// Exceptions: Create throws std::bad_alloc when out of memory; LoadModelFromFolder,
// GetEngineType, Optimize and Destroy never throw; RunInference and DetectMovement may let
// a cv::Exception or std::bad_alloc through (the detector turns those into an empty
// result).
// Return codes: 1 means success; 0 means failure (nothing loaded, nothing detected).
class ZRVLIB_API ZRVLIB {
public:
    // A new instance, owned by the caller until handed to Destroy.
    static ZRVLIB* Create();
    // Releases an instance made by Create; null is ignored.
    static void Destroy(ZRVLIB* instance);

    // Loads <folder>/<modelName>.onnx with the class file <folder>/<classFile> (one class
    // name per line) and writes the label map ("<id> <name>" per line) into labelMap.
    // Returns 1 when the model is loaded; 0 on failure, after one line on standard error
    // naming the file and the reason, with no model kept. A successful load prints
    // nothing. The char pointers are read during the call only; null counts as "".
    int LoadModelFromFolder(const char* reserved, const char* modelName, const char* classFile,
                            float scoreThreshold, float nmsThreshold, float extraThreshold,
                            int batchSize, int modelType, int detectionType, int loadEngineOnCreate,
                            const char* folder, std::string& labelMap);
    // 1 stands for an NVIDIA GPU usable by the engine, any other value for the CPU.
    int GetEngineType();
    // Warms the loaded model up; 1 on success, 0 when no model is loaded.
    int Optimize(bool flag);
    // Replaces `objects` with the detections in `image`, boxes in the coordinates of
    // `image`. `image` may be a view into a larger frame; it is only read, never copied.
    // Returns 1 when the model ran, 0 when nothing is loaded or the image is empty.
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
