#include "support/scripted_engine.h"

#include <iostream>
#include <mutex>
#include <stdexcept>

namespace scripted {
namespace {
// Engine calls may come from several threads (the concurrency tests): every access to the
// script and the record holds this lock, except the calls of a responder, which may block.
std::recursive_mutex g_mutex;
Script g_script;
std::vector<Call> g_calls;
int g_created = 0;
int g_live = 0;
ZRVLIBMessageSink g_messageSink = nullptr;
void* g_messageContext = nullptr;

struct NonStandardError {};

void MaybeThrow(Op op, const std::string& model) {
    for (const std::string& key : {model, std::string()}) {
        auto it = g_script.throws.find({op, key});
        if (it == g_script.throws.end() || it->second == Throw::Nothing) continue;
        const Throw kind = it->second;
        g_script.throws.erase(it);
        if (kind == Throw::Standard) throw std::runtime_error("scripted engine failure");
        throw NonStandardError{};
    }
}

std::vector<Object> NextAnswer(std::deque<std::vector<Object>>& queue) {
    if (queue.empty()) return {};
    std::vector<Object> answer = std::move(queue.front());
    queue.pop_front();
    return answer;
}

// Writes the line scripted for `op` on `model`, if any.
void Say(Op op, const std::string& model) {
    ZRVLIBMessageSink sink = nullptr;
    void* context = nullptr;
    std::string line;
    {
        std::lock_guard<std::recursive_mutex> lock(g_mutex);
        auto it = g_script.says.find({op, model});
        if (it == g_script.says.end()) return;
        line = it->second;
        sink = g_messageSink;
        context = g_messageContext;
    }
    if (sink) {
        sink(line.c_str(), context);
    } else {
        std::cerr << line << std::endl;
    }
}

Call MakeCall(Op op, int instance, const std::string& model) {
    Call call;
    call.op = op;
    call.instance = instance;
    call.model = model;
    return call;
}

void DescribeImage(const cv::Mat& image, Call& call) {
    call.imageSize = image.size();
    call.imageData = image.data;
    call.frameData = image.datastart;
    if (!image.empty()) {
        cv::Size whole;
        image.locateROI(whole, call.offset);
    }
}
}  // namespace

Script& script() { return g_script; }
const std::vector<Call>& calls() { return g_calls; }
int liveInstances() { return g_live; }

std::vector<Call> callsOf(Op op, const std::string& model) {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    std::vector<Call> out;
    for (const Call& call : g_calls) {
        if (call.op == op && (model.empty() || call.model == model)) out.push_back(call);
    }
    return out;
}

void Reset() {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    g_script = Script{};
    g_calls.clear();
    g_created = 0;
}

Object Detection(cv::Rect box, float confidence, int classId, const std::string& className) {
    Object object;
    object.box = box;
    object.confidence = confidence;
    object.classId = classId;
    object.className = className;
    return object;
}
}  // namespace scripted

extern "C" void ZRVLIB_SetMessageSink(ZRVLIBMessageSink sink, void* context) {
    std::lock_guard<std::recursive_mutex> lock(scripted::g_mutex);
    scripted::g_messageSink = sink;
    scripted::g_messageContext = context;
}

namespace ZORAVELIN {

struct ZRVLIB::Impl {
    int id = 0;
    std::string model;
};

using scripted::Call;
using scripted::Op;

ZRVLIB::ZRVLIB() : impl_(std::make_unique<Impl>()) {}
ZRVLIB::~ZRVLIB() = default;

ZRVLIB* ZRVLIB::Create() {
    std::lock_guard<std::recursive_mutex> lock(scripted::g_mutex);
    scripted::MaybeThrow(Op::Create, {});
    if (scripted::g_script.createFails) return nullptr;
    auto* engine = new ZRVLIB();
    engine->impl_->id = ++scripted::g_created;
    ++scripted::g_live;
    scripted::g_calls.push_back(scripted::MakeCall(Op::Create, engine->impl_->id, {}));
    return engine;
}

void ZRVLIB::Destroy(ZRVLIB* instance) {
    if (!instance) return;
    std::lock_guard<std::recursive_mutex> lock(scripted::g_mutex);
    scripted::g_calls.push_back(scripted::MakeCall(Op::Destroy, instance->impl_->id, instance->impl_->model));
    --scripted::g_live;
    delete instance;
}

int ZRVLIB::LoadModelFromFolder(const char* reserved, const char* modelName,
                                const char* classFile, float scoreThreshold, float nmsThreshold,
                                float extraThreshold, int batchSize, int modelType,
                                int detectionType, int loadEngineOnCreate, const char* folder,
                                std::string& labelMap) {
    std::unique_lock<std::recursive_mutex> lock(scripted::g_mutex);
    impl_->model = modelName;
    Call call = scripted::MakeCall(Op::Load, impl_->id, impl_->model);
    call.reserved = reserved;
    call.modelName = modelName;
    call.classFile = classFile;
    call.scoreThreshold = scoreThreshold;
    call.nmsThreshold = nmsThreshold;
    call.extraThreshold = extraThreshold;
    call.batchSize = batchSize;
    call.modelType = modelType;
    call.detectionType = detectionType;
    call.loadEngineOnCreate = loadEngineOnCreate;
    call.folder = folder;
    scripted::g_calls.push_back(call);
    scripted::MaybeThrow(Op::Load, impl_->model);
    auto& script = scripted::g_script;
    if (auto it = script.labelMap.find(impl_->model); it != script.labelMap.end()) {
        labelMap = it->second;
    }
    auto it = script.loadResult.find(impl_->model);
    const int result = it == script.loadResult.end() ? 1 : it->second;
    const std::string model = impl_->model;
    lock.unlock();
    scripted::Say(Op::Load, model);  // the instance may be gone after this
    return result;
}

int ZRVLIB::GetEngineType() {
    std::lock_guard<std::recursive_mutex> lock(scripted::g_mutex);
    scripted::g_calls.push_back(scripted::MakeCall(Op::GetEngineType, impl_->id, impl_->model));
    scripted::MaybeThrow(Op::GetEngineType, impl_->model);
    return scripted::g_script.engineType;
}

int ZRVLIB::Optimize(bool flag) {
    std::lock_guard<std::recursive_mutex> lock(scripted::g_mutex);
    Call call = scripted::MakeCall(Op::Optimize, impl_->id, impl_->model);
    call.flag = flag;
    scripted::g_calls.push_back(call);
    scripted::MaybeThrow(Op::Optimize, impl_->model);
    auto& results = scripted::g_script.optimizeResult;
    auto it = results.find(impl_->model);
    return it == results.end() ? 1 : it->second;
}

int ZRVLIB::RunInference(cv::Mat image, const char* cameraId, std::vector<Object>& objects) {
    Call call = scripted::MakeCall(Op::RunInference, impl_->id, impl_->model);
    call.cameraId = cameraId;
    scripted::DescribeImage(image, call);
    scripted::Responder responder;
    {
        std::lock_guard<std::recursive_mutex> lock(scripted::g_mutex);
        scripted::g_calls.push_back(call);
        scripted::MaybeThrow(Op::RunInference, impl_->model);
        auto& script = scripted::g_script;
        if (auto it = script.detectResponder.find(impl_->model); it != script.detectResponder.end()) {
            responder = it->second;
        } else {
            objects = scripted::NextAnswer(script.detections[impl_->model]);
        }
    }
    if (responder) objects = responder(call);
    scripted::Say(Op::RunInference, call.model);  // the instance may be gone after this
    return 1;
}

int ZRVLIB::DetectMovement(cv::Mat image, const char* cameraId, std::vector<Object>& objects) {
    Call call = scripted::MakeCall(Op::DetectMovement, impl_->id, impl_->model);
    call.cameraId = cameraId;
    scripted::DescribeImage(image, call);
    scripted::Responder responder;
    {
        std::lock_guard<std::recursive_mutex> lock(scripted::g_mutex);
        scripted::g_calls.push_back(call);
        scripted::MaybeThrow(Op::DetectMovement, impl_->model);
        auto& script = scripted::g_script;
        responder = script.motionResponder;
        if (!responder) objects = scripted::NextAnswer(script.motion);
    }
    if (responder) objects = responder(call);
    return 1;
}

}  // namespace ZORAVELIN
