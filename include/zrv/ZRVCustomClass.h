// Host-facing boundary: the records exchanged with the host, the host's abstract
// detector interface and the module's two exported C functions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/cuda.hpp>

#include "zrv/export.h"

// One detection as returned to the host. `box` is in full-frame pixels.
struct CustomObject {
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

// Host parameter items. Their meaning is the host's; the detector only stores, copies
// and empties them.
struct CustomParamItemA {
    uint8_t firstByte = 0;
    uint8_t secondByte = 0;
    uint8_t thirdByte = 0;
    int32_t firstNumber = 0;
    int32_t secondNumber = 0;
    std::string firstText;
    std::string secondText;
};

struct CustomParamItemC {
    std::string firstText;
    std::string secondText;
    int32_t firstNumber = 0;
    int32_t secondNumber = 0;
    int32_t thirdNumber = 0;
    std::string thirdText;
    std::vector<std::string> textList;
    std::string fourthText;
    std::string fifthText;
};

struct CustomParamItemD {
    std::string firstText;
    std::vector<int64_t> valueList;
    std::string secondText;
    std::string thirdText;
    int32_t firstNumber = 0;
};

struct CustomParams {
    std::vector<CustomParamItemA> listA;
    std::vector<std::string> listB;
    std::vector<CustomParamItemC> listC;
    std::vector<CustomParamItemD> listD;
};

// The host's detector interface. The six virtual operations are the host's binary
// interface, in this slot order; there is deliberately no virtual destructor, so a
// detector made by Create must be freed with Release, never with delete through this
// type.
class ZRV_API IZRVCustomClass {
public:
    IZRVCustomClass();
    IZRVCustomClass(const IZRVCustomClass& other);
    IZRVCustomClass(IZRVCustomClass&& other) noexcept;
    IZRVCustomClass& operator=(const IZRVCustomClass& other);
    IZRVCustomClass& operator=(IZRVCustomClass&& other) noexcept;
    ~IZRVCustomClass();

    // Loads both models from `modelDirectory`; true when both loaded. `labelMap`
    // receives the weapon model's labels.
    virtual bool Initialize(const std::string& modelDirectory, float detectionScoreThreshold,
                            std::string& labelMap) = 0;
    virtual bool OptimizeModel(bool flag) = 0;
    // Analyses one frame; the frame stays the caller's and is never copied. Boxes come
    // back in full-frame pixels.
    virtual std::vector<CustomObject> RunInference(const cv::Mat& frame,
                                                   const std::string& cameraId) = 0;
    // Same as above with the camera id "CustomCam".
    virtual std::vector<CustomObject> RunInference(const cv::Mat& frame) = 0;
    // Empties the four lists of the caller's record.
    virtual bool ConfigureParameters(CustomParams& params) = 0;
    // Releases both models; the object stays usable and can be initialised again.
    virtual bool Destroy() = 0;

    // Inline, so that a host that loads the module with dlopen can call it too.
    void SetLoadEngineOnCreate(bool loadEngineOnCreate) { _loadEngineOnCreate = loadEngineOnCreate; }
    // Replaces the stored lists by copies of the given ones; false on any exception.
    bool SetParameters(const CustomParams& params);

protected:
    std::string _modelDirectory;
    float _baseValue = 0.5f;
    CustomParams _params;
    bool _loadEngineOnCreate = false;
};

extern "C" {
// Makes one detector; ownership passes to the caller, who frees it with Release.
ZRV_API IZRVCustomClass* Create();
// Frees a detector made by Create (its models included). Null is ignored.
ZRV_API void Release(IZRVCustomClass* detector);
}
