// The inference engine behind include/zrv/ZRVLIB.h. The forward pass runs on the backend
// this build was made for (engine/backend.h); everything around it is the engine's own.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <set>
#include <string>

#include "common/tuning.h"
#include "engine/detection_model.h"
#include "engine/model_folder.h"
#include "engine/motion_detector.h"
#include "zrv/ZRVLIB.h"

#if defined(ZRV_ENGINE_PROFILE)
#include "engine/profile.h"
namespace zrv::engine {
EngineProfile& Profile() {
    static EngineProfile profile;
    return profile;
}
}  // namespace zrv::engine
#define ZRV_PROFILE(what) const zrv::engine::ProfileScope profileScope(what)
#else
#define ZRV_PROFILE(what)
#endif

namespace {
// Where the engine's own lines go; process-wide, like the sink that installs itself here.
std::mutex g_messageMutex;
ZRVLIBMessageSink g_messageSink = nullptr;
void* g_messageContext = nullptr;

// The sink is called outside the lock, so that it may load a model itself.
void EngineMessage(const std::string& line) {
    ZRVLIBMessageSink sink = nullptr;
    void* context = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_messageMutex);
        sink = g_messageSink;
        context = g_messageContext;
    }
    if (sink) {
        sink(line.c_str(), context);
        return;
    }
    std::cerr << line << std::endl;
}
// Where the class file is missing but the export names its classes, what to write in it:
// the class file stays the one source of the host's label map.
void AdviseOnMissingClassFile(const zrv::engine::ModelFiles& files, std::string& why) {
    std::error_code error;
    if (files.classPath.empty() || std::filesystem::exists(files.classPath, error) ||
        !std::filesystem::is_regular_file(files.onnxPath, error)) {
        return;
    }
    zrv::engine::OnnxGraphFacts facts;
    std::string ignored;
    if (!zrv::engine::ReadOnnxGraphFacts(files.onnxPath, facts, ignored) || facts.metadataNames.empty()) return;
    std::string names;
    for (size_t i = 0; i < facts.metadataNames.size() && i < 100; ++i) {
        std::string name = facts.metadataNames[i].substr(0, 60);
        for (char& c : name) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
        }
        names += (i ? ", " : "") + name;
    }
    if (facts.metadataNames.size() > 100) names += ", \u2026";
    const size_t count = facts.metadataNames.size();
    why = "the class file '" + files.classPath + "' is missing; the export names " + std::to_string(count) +
          (count == 1 ? " class" : " classes") + ": write " + (count == 1 ? "it" : "them") +
          " in that file, one per line, in this order: " + names;
}

}  // namespace

extern "C" void ZRVLIB_SetMessageSink(ZRVLIBMessageSink sink, void* context) {
    std::lock_guard<std::mutex> lock(g_messageMutex);
    g_messageSink = sink;
    g_messageContext = context;
}

namespace ZORAVELIN {

using zrv::engine::Candidate;

struct ZRVLIB::Impl {
    zrv::engine::DetectionModel model;
    std::vector<std::string> classNames;
    std::string name;          // the model name of the last load, for its lines
    bool personModel = false;  // for the benchmarks' profile only
    bool saidNonFinite = false;  // the note on NaN or infinite outputs, once per load
    std::string classPath;       // of the last load, for the first run's refusal
    std::string onnxPath;
    std::set<std::string> saidOutOfRange;  // cameras told of scores outside [0, 1], per load
    int64_t droppedOutOfRange = 0;         // detections dropped for such scores since the load
    float minScore = 0.25f;
    float iouThreshold = 0.5f;
    zrv::engine::MotionDetector motion;
    // Reused between calls.
    std::vector<Candidate> detections;
    std::vector<cv::Rect> regions;
};

ZRVLIB::ZRVLIB() : impl_(std::make_unique<Impl>()) {}
ZRVLIB::~ZRVLIB() = default;

ZRVLIB* ZRVLIB::Create() { return new ZRVLIB(); }

void ZRVLIB::Destroy(ZRVLIB* instance) { delete instance; }  // null is fine

int ZRVLIB::LoadModelFromFolder(const char* /*reserved*/, const char* modelName,
                                const char* classFile, float scoreThreshold, float nmsThreshold,
                                float /*extraThreshold*/, int /*batchSize*/, int /*modelType*/,
                                int /*detectionType*/, int loadEngineOnCreate, const char* folder,
                                std::string& labelMap) {
    Impl& impl = *impl_;
    impl.model = zrv::engine::DetectionModel();
    impl.classNames.clear();

    const std::string name = modelName ? modelName : "";
    std::string why, note;
    zrv::engine::ModelFiles files;
    // A setting of the process that cannot be used fails every load, naming the variable.
    bool ok = zrv::engine::BackendSettingsUsable(zrv::engine::DefaultBackend(), why);
    if (ok && !zrv::engine::LocateModelFiles(folder ? folder : "", name, classFile ? classFile : "", files, why)) {
        ok = false;
        AdviseOnMissingClassFile(files, why);
    }
    ok = ok && zrv::engine::ReadClassNames(files.classPath, impl.classNames, why);
    if (ok) {
        // The contract says this call never throws: a runtime that runs out of memory while
        // compiling, or fails in the warm-up, is a failed load like any other.
        try {
            ok = impl.model.Load(files.onnxPath, static_cast<int>(impl.classNames.size()), why, note, files.classPath);
            if (ok && loadEngineOnCreate) {
                impl.model.WarmUp();
                // Scores outside [0, 1] on the first run: a misread output, not a model.
                if (!impl.model.firstRunProblem().empty()) {
                    ok = false;
                    why = impl.model.firstRunProblem();
                }
            }
        } catch (const std::exception& e) {
            ok = false;
            why = e.what();
            std::replace(why.begin(), why.end(), '\n', ' ');
        }
        if (!ok) why = "'" + files.onnxPath + "': " + why;
    }
    if (!ok) {
        impl.model = zrv::engine::DetectionModel();
        impl.classNames.clear();
        EngineMessage("ZRVLIB: cannot load model '" + name + "': " + why);
        return 0;
    }
    impl.name = name;
    impl.saidNonFinite = false;
    impl.classPath = files.classPath;
    impl.onnxPath = files.onnxPath;
    impl.saidOutOfRange.clear();
    impl.droppedOutOfRange = 0;
    impl.personModel = name == "filter";
    impl.minScore = std::clamp(scoreThreshold, 0.001f, zrv::tuning::kEngineScoreCap);
    impl.iouThreshold = nmsThreshold > 0.0f && nmsThreshold <= 1.0f ? nmsThreshold : 0.5f;
    labelMap = zrv::engine::FormatLabelMap(impl.classNames);
    // Said last: a sink may call back into whoever holds this instance.
    if (!note.empty()) EngineMessage("ZRVLIB: model '" + name + "': " + note);
    const cv::Size input = impl.model.inputSize();
    EngineMessage("ZRVLIB: model '" + name + "': task " + impl.model.task() +
                  (impl.model.readByShapes() ? " (read by its shapes)" : "") + ", " +
                  zrv::engine::ClassSummary(impl.classNames) + ", input " + std::to_string(input.width) + "x" +
                  std::to_string(input.height) + ", precision " + impl.model.precision());
    return 1;
}

namespace {
// After the first run of a model loaded without a warm-up: when its scores showed the output
// misread, the model is dropped and the load's failure said as a failed load says it.
// True when the model is still loaded.
bool KeepAfterFirstRun(ZRVLIB::Impl& impl) {
    if (impl.model.firstRunProblem().empty()) return true;
    const std::string line =
        "ZRVLIB: cannot load model '" + impl.name + "': '" + impl.onnxPath + "': " + impl.model.firstRunProblem();
    impl.model = zrv::engine::DetectionModel();
    impl.classNames.clear();
    EngineMessage(line);  // said last: a sink may call back
    return false;
}
}  // namespace

// Both backends run on the CPU.
int ZRVLIB::GetEngineType() { return 0; }

int ZRVLIB::Optimize(bool /*flag*/) {
    if (!impl_->model.loaded()) return 0;
    try {
        impl_->model.WarmUp();
    } catch (const std::exception&) {
        return 0;  // never throws; the model stays loaded and the next frame says more
    }
    return KeepAfterFirstRun(*impl_) ? 1 : 0;
}

int ZRVLIB::RunInference(cv::Mat image, const char* cameraId, std::vector<Object>& objects) {
    objects.clear();
    Impl& impl = *impl_;
    ZRV_PROFILE(impl.personModel ? zrv::engine::Profile().person : zrv::engine::Profile().weapon);
    if (!impl.model.loaded() || image.empty()) return 0;
    const bool firstRun = !impl.model.hasRun();
    impl.model.Detect(image, impl.minScore, impl.iouThreshold, impl.detections);
    if (firstRun && !KeepAfterFirstRun(impl)) return 0;
    objects.reserve(impl.detections.size());
    for (const Candidate& c : impl.detections) {
        Object object;
        object.classId = c.classId;
        object.className = impl.classNames[static_cast<size_t>(c.classId)];
        object.confidence = c.score;
        object.box = c.box;
        if (cameraId) object.cameraId = cameraId;
        objects.push_back(std::move(object));
    }
    // A broken export (float16 overflow, a bad conversion) answers NaN or infinity, which
    // would otherwise be silently no detection at all. Said last: a sink may call back.
    const zrv::engine::DecodeCounts& decoded = impl.model.lastDecode();
    if (decoded.nonFinite > 0 && !impl.saidNonFinite) {
        impl.saidNonFinite = true;
        EngineMessage("ZRVLIB: model '" + impl.name + "': its output holds NaN or infinite values (" +
                      std::to_string(decoded.nonFinite) + " of " + std::to_string(decoded.anchors) +
                      " anchors in this image); those anchors give no detection (said once per load)");
    }
    // Scores above 1 after a first run that passed: dropped in the decode, counted, and said
    // once per camera.
    impl.droppedOutOfRange += decoded.outOfRange;
    const std::string camera = cameraId ? cameraId : "";
    if (decoded.outOfRange > 0 && impl.saidOutOfRange.insert(camera).second) {
        char worst[32];
        std::snprintf(worst, sizeof worst, "%.3g", static_cast<double>(decoded.worstScore));
        EngineMessage("ZRVLIB: model '" + impl.name + "': camera '" + camera + "': " +
                      std::to_string(decoded.outOfRange) + " candidates with scores outside [0, 1] (up to " + worst +
                      ") dropped in this image; the output is not what the class file describes (said once per "
                      "camera)");
    }
    return 1;
}

int ZRVLIB::DetectMovement(cv::Mat image, const char* cameraId, std::vector<Object>& objects) {
    objects.clear();
    Impl& impl = *impl_;
    ZRV_PROFILE(zrv::engine::Profile().motion);
    impl.motion.Detect(image, cameraId ? cameraId : "", impl.regions);
    objects.reserve(impl.regions.size());
    for (const cv::Rect& region : impl.regions) {
        Object object;
        object.box = region;
        objects.push_back(std::move(object));
    }
    return 1;
}

}  // namespace ZORAVELIN
