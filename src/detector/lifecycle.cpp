// Construction, the exported factory and release, model loading, optimisation,
// parameter reporting and release of the engines.
#include <iostream>

#include "detector/ZRVCustomWD.h"

using ZORAVELIN::ZRVLIB;

extern "C" IZRVCustomClass* Create() { return new ZRVCustomWD(); }

extern "C" void Release(IZRVCustomClass* detector) {
    // Create only ever makes a ZRVCustomWD, and the interface has no virtual destructor.
    delete static_cast<ZRVCustomWD*>(detector);
}

ZRVCustomWD::ZRVCustomWD() = default;

ZRVCustomWD::~ZRVCustomWD() { ZRVCustomWD::Destroy(); }

bool ZRVCustomWD::Initialize(const std::string& modelDirectory, float detectionScoreThreshold,
                             std::string& labelMap) {
    // Hosts may reload models while another thread is inside a frame call; holding the
    // frame lock keeps the engines alive for that call.
    std::lock_guard<std::recursive_mutex> lock(_mutex);

    if (&modelDirectory != &_modelDirectory) _modelDirectory = modelDirectory;
    _detectionScoreThreshold = detectionScoreThreshold;

    _detectorModelName = "train_last";
    _detectorClassFile = "classes.names";
    _detectorModelType = 4;
    _detectorDetectionType = 1;
    _filterModelName = "filter";
    _filterClassFile = "filter.names";
    _filterModelType = 4;
    _filterDetectionType = 1;

    // The new instance is in place before the old one is released.
    _detector.reset(ZRVLIB::Create());
    _filter.reset(ZRVLIB::Create());
    if (!_detector || !_filter) {
        // An engine that could not make an instance leaves the detector uninitialised
        // rather than half-working (no person check, or no weapon model).
        ReleaseEngines();
        return false;
    }

    _engineType = _detector->GetEngineType();
    if (_engineType == 1) {
        _detectorModelType = 4;
        _filterModelType = 4;
        std::cout << "NVIDIA GPU detected. Using TensorRT" << std::endl;
    } else {
        _detectorModelType = 5;
        _filterModelType = 17;
        std::cout << "CPU detected. Using OpenVINO and ONNX" << std::endl;
    }
    _detectorDetectionType = 1;
    _filterDetectionType = 1;

    _params.listA.clear();
    _params.listB.clear();
    _params.listC.clear();
    _params.listD.clear();

    const int loadOnCreate = _loadEngineOnCreate ? 1 : 0;
    const int detectorLoaded = _detector->LoadModelFromFolder(
        "", _detectorModelName.c_str(), _detectorClassFile.c_str(), detectionScoreThreshold, 0.5f,
        0.5f, 1, _detectorModelType, _detectorDetectionType, loadOnCreate, _modelDirectory.c_str(),
        labelMap);
    // The person model is loaded even when the weapon model failed.
    const int filterLoaded = _filter->LoadModelFromFolder(
        "", _filterModelName.c_str(), _filterClassFile.c_str(), _detectionScoreThreshold, 0.5f,
        0.5f, 1, _filterModelType, _filterDetectionType, loadOnCreate, _modelDirectory.c_str(),
        _filterLabelMap);
    return detectorLoaded == 1 && filterLoaded == 1;
}

bool ZRVCustomWD::OptimizeModel(bool flag) {
    try {
        std::lock_guard<std::recursive_mutex> lock(_mutex);
        if (!_detector || !_filter) {
            std::cout << "Model is not initialized." << std::endl;
            return false;
        }
        const int detectorResult = _detector->Optimize(flag);
        const int filterResult = _filter->Optimize(flag);
        if (detectorResult == 1 && filterResult == 1) {
            std::cout << "Model optimization successful." << std::endl;
            return true;
        }
        std::cout << "Model optimization failed." << std::endl;
        return false;
    } catch (...) {
        return false;
    }
}

bool ZRVCustomWD::ConfigureParameters(CustomParams& params) {
    std::lock_guard<std::recursive_mutex> lock(_mutex);
    params.listA.clear();
    params.listB.clear();
    params.listC.clear();
    params.listD.clear();
    return true;
}

bool ZRVCustomWD::Destroy() {
    std::lock_guard<std::recursive_mutex> lock(_mutex);
    ReleaseEngines();
    return true;
}

void ZRVCustomWD::ReleaseEngines() {
    // Empty the handle first, then release the instance it held.
    ZRVLIB* detector = _detector.release();
    if (detector) ZRVLIB::Destroy(detector);
    ZRVLIB* filter = _filter.release();
    if (filter) ZRVLIB::Destroy(filter);
}
