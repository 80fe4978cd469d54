#include "engine/backend.h"

#include "engine/opencv/opencv_backend.h"
#if ZRV_HAVE_OPENVINO
#include "engine/openvino/openvino_backend.h"
#endif

namespace zrv::engine {

size_t DetectionOutputIndex(const std::vector<std::string>& names, const std::vector<int64_t>& ranks) {
    for (size_t i = 0; i < names.size(); ++i) {
        if (names[i] == "output0") return i;
    }
    for (size_t i = 0; i < ranks.size(); ++i) {
        if (ranks[i] == 3 || ranks[i] < 0) return i;
    }
    return 0;
}

const char* BackendName(BackendKind kind) { return kind == BackendKind::OpenVino ? "OpenVINO" : "OpenCV DNN"; }

BackendKind DefaultBackend() {
#if ZRV_DEFAULT_BACKEND_OPENVINO
    return BackendKind::OpenVino;
#else
    return BackendKind::OpenCv;
#endif
}

bool BackendAvailable(BackendKind kind) { return kind == BackendKind::OpenCv || ZRV_HAVE_OPENVINO; }

bool BackendSettingsUsable(BackendKind kind, std::string& why) {
#if ZRV_HAVE_OPENVINO
    if (kind == BackendKind::OpenVino) return EngineSettingsUsable(why);
#endif
    (void)kind;
    (void)why;
    return true;
}

std::unique_ptr<InferenceBackend> MakeBackend(BackendKind kind) {
#if ZRV_HAVE_OPENVINO
    if (kind == BackendKind::OpenVino) return std::make_unique<OpenVinoBackend>();
#endif
    if (kind == BackendKind::OpenCv) return std::make_unique<OpenCvBackend>();
    return nullptr;
}

}  // namespace zrv::engine
