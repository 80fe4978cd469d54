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
// image the engine was handed.
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
// Destroy only; they are neither copied nor moved. An instance is not thread-safe: the
// caller serialises calls on it.
class ZRVLIB_API ZRVLIB {
public:
    static ZRVLIB* Create();
    static void Destroy(ZRVLIB* instance);

    // Loads <folder>/<modelName> with its class file; writes the label map into
    // labelMap. Returns 1 when the model is loaded, anything else on failure.
    int LoadModelFromFolder(const char* reserved, const char* modelName, const char* classFile,
                            float scoreThreshold, float nmsThreshold, float extraThreshold,
                            int batchSize, int modelType, int detectionType, int loadEngineOnCreate,
                            const char* folder, std::string& labelMap);
    // 1 stands for an NVIDIA GPU, any other value for the CPU.
    int GetEngineType();
    // 1 on success.
    int Optimize(bool flag);
    // Fills `objects` with detections, boxes in the coordinates of `image`. `image` may
    // be a view into a larger frame; it is never copied.
    int RunInference(cv::Mat image, const char* cameraId, std::vector<Object>& objects);
    // Fills `objects` with moving regions of `image` (only `box` is meaningful), in the
    // coordinates of `image`. The background is kept per camera id.
    int DetectMovement(cv::Mat image, const char* cameraId, std::vector<Object>& objects);

    ZRVLIB(const ZRVLIB&) = delete;
    ZRVLIB& operator=(const ZRVLIB&) = delete;

    struct Impl;

private:
    ZRVLIB();
    ~ZRVLIB();
    std::unique_ptr<Impl> impl_;
};

}  // namespace ZORAVELIN
