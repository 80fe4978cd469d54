// Construction, the exported factory and release, model loading, optimisation,
// parameter reporting and release of the engines.
#include "common/tuning.h"
#include "detector/ZRVCustomWD.h"
#include "detector/console.h"
#include "detector/params_lock.h"

using ZORAVELIN::ZRVLIB;
using zrv::detector::ConsoleLine;
using zrv::detector::ConsoleStream;
namespace tuning = zrv::tuning;

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
    const zrv::detector::ConsoleHold hold;  // lines reach a sink once the models are loaded

    // A threshold that is not a number in [0, 1] would silently report nothing (NaN) or
    // everything; refuse it before anything changes.
    if (!(detectionScoreThreshold >= 0.0f && detectionScoreThreshold <= 1.0f)) {
        ConsoleLine(ConsoleStream::Error,
                    "Error: the detection score threshold must be a number from 0 to 1.");
        return false;
    }

    if (&modelDirectory != &_modelDirectory) _modelDirectory = modelDirectory;
    _detectionScoreThreshold = detectionScoreThreshold;

    _detectorModelName = "train_last";
    _detectorClassFile = "classes.names";
    _detectorModelType = tuning::kModelTypeGpu;
    _detectorDetectionType = 1;
    _filterModelName = "filter";
    _filterClassFile = "filter.names";
    _filterModelType = tuning::kModelTypeGpu;
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

    // The two engine-path lines below are a contract with hosts, which match them word for
    // word in their logs to learn the path taken: keep their text, stream (standard output)
    // and the one-line-per-Initialize rule unchanged.
    _engineType = _detector->GetEngineType();
    if (_engineType == 1) {
        _detectorModelType = tuning::kModelTypeGpu;
        _filterModelType = tuning::kModelTypeGpu;
        ConsoleLine(ConsoleStream::Output, "NVIDIA GPU detected. Using TensorRT");
    } else {
        _detectorModelType = tuning::kModelTypeCpuWeapon;
        _filterModelType = tuning::kModelTypeCpuPerson;
        ConsoleLine(ConsoleStream::Output, "CPU detected. Using OpenVINO and ONNX");
    }
    _detectorDetectionType = 1;
    _filterDetectionType = 1;

    {
        std::lock_guard<std::mutex> paramsLock(zrv::detector::ParamsLockFor(this));
        _params.listA.clear();
        _params.listB.clear();
        _params.listC.clear();
        _params.listD.clear();
    }

    zrv::detector::RouteEngineLinesToConsole();
    const int loadOnCreate = __atomic_load_n(&_loadEngineOnCreate, __ATOMIC_ACQUIRE) ? 1 : 0;
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
        const zrv::detector::ConsoleHold hold;
        if (!_detector || !_filter) {
            ConsoleLine(ConsoleStream::Output, "Model is not initialized.");
            return false;
        }
        const int detectorResult = _detector->Optimize(flag);
        const int filterResult = _filter->Optimize(flag);
        if (detectorResult == 1 && filterResult == 1) {
            ConsoleLine(ConsoleStream::Output, "Model optimization successful.");
            return true;
        }
        ConsoleLine(ConsoleStream::Output, "Model optimization failed.");
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
