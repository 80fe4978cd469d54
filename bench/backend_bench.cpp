// The engine's backends side by side on the same model files and the same input, in one
// run so that the ratios hold on a shared, noisy machine: the measurements of one model are
// interleaved round by round, and each figure is the median of its rounds, in milliseconds.
//   load     reading, preparing and compiling the model (OpenVINO: the compiled network is
//            released between loads, so each load compiles);
//   call     one engine call: letterbox, forward pass, decode, suppression, mapping, on an
//            image of the network's input size;
//   bare     OpenVINO's own inference on the engine's compiled network, with a request and
//            an input tensor of its own and nothing around it: the floor of an engine call;
//   manual   the alternative to converting in the graph: the same network compiled without
//            the conversion steps, fed a float NCHW blob made on our side (blobFromImage)
//            from the same canvas; blob plus inference.
// Usage: backend_bench MODEL-FOLDER MODEL... (each MODEL names MODEL-FOLDER/MODEL.onnx)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/detection_model.h"
#if ZRV_HAVE_OPENVINO
#include <openvino/runtime/core.hpp>

#include "engine/openvino/compiled_models.h"
#endif

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 40;

double Ms(const std::function<void()>& run) {
    const auto start = Clock::now();
    run();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double Median(std::vector<double> times) {
    if (times.empty()) return 0.0;
    std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
    return times[times.size() / 2];
}

// A textured image of `size`: the letterbox then only copies it into the canvas.
cv::Mat Scene(cv::Size size) {
    cv::Mat image(size, CV_8UC3);
    cv::randu(image, cv::Scalar::all(40), cv::Scalar::all(200));
    cv::GaussianBlur(image, image, cv::Size(0, 0), 3);
    return image;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s MODEL-FOLDER MODEL...\n", argv[0]);
        return 2;
    }
    using zrv::engine::BackendKind;
    std::printf("%-18s %8s %8s %8s %8s %8s %8s %11s %10s %12s\n", "model", "load OV", "load CV", "call OV", "call CV",
                "bare OV", "manual", "CV/OV call", "call/bare", "manual/bare");
    for (int m = 2; m < argc; ++m) {
        const std::string path = std::string(argv[1]) + "/" + argv[m] + ".onnx";
        std::string why, note;
        std::vector<double> load[2];
        for (int round = 0; round < 3; ++round) {
            for (const BackendKind kind : {BackendKind::OpenVino, BackendKind::OpenCv}) {
                if (!zrv::engine::BackendAvailable(kind)) continue;
                load[kind == BackendKind::OpenCv].push_back(Ms([&] {
                    zrv::engine::DetectionModel model(kind);
                    if (!model.Load(path, 1, why, note)) std::fprintf(stderr, "%s: %s\n", path.c_str(), why.c_str());
                }));
            }
        }
        zrv::engine::DetectionModel models[2] = {zrv::engine::DetectionModel(BackendKind::OpenVino),
                                                 zrv::engine::DetectionModel(BackendKind::OpenCv)};
        std::vector<std::function<void()>> runs(4);  // call OV, call CV, bare, manual
        const cv::Mat* scene = nullptr;
        cv::Mat image;
        std::vector<zrv::engine::Candidate> found;
        for (int k = 0; k < 2; ++k) {
            const BackendKind kind = k == 0 ? BackendKind::OpenVino : BackendKind::OpenCv;
            if (!zrv::engine::BackendAvailable(kind) || !models[k].Load(path, 1, why, note)) continue;
            if (!scene) {
                image = Scene(models[k].inputSize());
                scene = &image;
            }
            runs[static_cast<size_t>(k)] = [&, k] { models[k].Detect(*scene, 0.25f, 0.5f, found); };
        }
#if ZRV_HAVE_OPENVINO
        ov::InferRequest bareRequest, manualRequest;
        cv::Mat canvas, blob;
        if (models[0].loaded()) {
            zrv::engine::OnnxGraphFacts facts;
            zrv::engine::ReadOnnxGraphFacts(path, facts, why);
            // The engine's own compiled network, shared through the process cache while the
            // model above holds it.
            const auto shared = zrv::engine::AcquireCompiledModel(path, facts, models[0].inputSize(), why);
            bareRequest = shared->compiled.create_infer_request();
            runs[2] = [&] { bareRequest.infer(); };

            ov::Core core;
            auto plain = core.read_model(path);
            const cv::Size input = models[0].inputSize();
            plain->reshape(ov::PartialShape{1, 3, input.height, input.width});
            ov::AnyMap config{ov::hint::performance_mode(ov::hint::PerformanceMode::LATENCY),
                              ov::hint::enable_cpu_pinning(false)};
            zrv::engine::AddPrecisionHint(zrv::engine::EngineSettingPrecision(), config);
            if (zrv::engine::EngineThreads() > 0) config.emplace(ov::inference_num_threads(zrv::engine::EngineThreads()));
            manualRequest = core.compile_model(plain, "CPU", config).create_infer_request();
            canvas = cv::Mat(input, CV_8UC3, cv::Scalar::all(114));
            runs[3] = [&] {
                cv::dnn::blobFromImage(canvas, blob, 1.0 / 255.0, cv::Size(), cv::Scalar(), true, false, CV_32F);
                manualRequest.set_input_tensor(
                    ov::Tensor(ov::element::f32, manualRequest.get_input_tensor().get_shape(), blob.ptr<float>()));
                manualRequest.infer();
            };
        }
#endif
        std::vector<double> times[4];
        for (int round = -3; round < kRounds; ++round) {  // three rounds to warm up
            for (size_t r = 0; r < runs.size(); ++r) {
                if (!runs[r]) continue;
                const double t = Ms(runs[r]);
                if (round >= 0) times[r].push_back(t);
            }
        }
        const double callOv = Median(times[0]), callCv = Median(times[1]), bare = Median(times[2]),
                     manual = Median(times[3]);
        std::printf("%-18s %8.1f %8.1f %8.2f %8.2f %8.2f %8.2f %10.2fx %9.3fx %11.3fx\n", argv[m], Median(load[0]),
                    Median(load[1]), callOv, callCv, bare, manual, callOv > 0 ? callCv / callOv : 0.0,
                    bare > 0 ? callOv / bare : 0.0, bare > 0 ? manual / bare : 0.0);
    }
    return 0;
}
