// The engine's backends side by side on the same model files and the same input, in one
// run so that the ratios hold on a shared, noisy machine:
//   load     reading, preparing and compiling the model (a fresh process cache each time
//            for OpenVINO: the compiled network is released between loads);
//   call     one engine call: letterbox, forward pass, decode, suppression, mapping;
//   bare     OpenVINO's own inference on the same compiled network with a request and an
//            input tensor of its own, nothing around it: the floor the engine call is
//            measured against.
// Medians of repeated runs, in milliseconds.
// Usage: backend_bench MODEL-FOLDER MODEL... (each MODEL names MODEL-FOLDER/MODEL.onnx)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "engine/detection_model.h"
#if ZRV_HAVE_OPENVINO
#include "engine/openvino/compiled_models.h"
#endif

namespace {

using Clock = std::chrono::steady_clock;

double MedianMs(int runs, const std::function<void()>& run) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        run();
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
    return times[times.size() / 2];
}

// A textured 1280 x 720 scene: the engine letterboxes it into each model's input.
cv::Mat Scene() {
    cv::Mat image(720, 1280, CV_8UC3);
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
    const cv::Mat scene = Scene();
    std::printf("%-22s %9s %9s %9s %9s %9s %11s %11s\n", "model", "load OV", "load CV", "call OV", "call CV",
                "bare OV", "CV/OV call", "call/bare");
    for (int m = 2; m < argc; ++m) {
        const std::string path = std::string(argv[1]) + "/" + argv[m] + ".onnx";
        double load[2] = {0, 0}, call[2] = {0, 0};
        bool ok[2] = {false, false};
        for (const BackendKind kind : {BackendKind::OpenVino, BackendKind::OpenCv}) {
            const int k = kind == BackendKind::OpenVino ? 0 : 1;
            if (!zrv::engine::BackendAvailable(kind)) continue;
            std::string why, note;
            load[k] = MedianMs(3, [&] {
                zrv::engine::DetectionModel model(kind);
                ok[k] = model.Load(path, 1, why, note);
            });
            if (!ok[k]) {
                std::fprintf(stderr, "%s on %s: %s\n", path.c_str(), zrv::engine::BackendName(kind), why.c_str());
                continue;
            }
            zrv::engine::DetectionModel model(kind);
            model.Load(path, 1, why, note);
            std::vector<zrv::engine::Candidate> found;
            for (int i = 0; i < 3; ++i) model.Detect(scene, 0.25f, 0.5f, found);  // warm up
            call[k] = MedianMs(30, [&] { model.Detect(scene, 0.25f, 0.5f, found); });
        }
        double bare = 0;
#if ZRV_HAVE_OPENVINO
        if (ok[0]) {
            // The engine's own compiled network (shared through the process cache while the
            // model below holds it), with a request and tensor of its own.
            zrv::engine::DetectionModel holder(BackendKind::OpenVino);
            std::string why, note;
            holder.Load(path, 1, why, note);
            zrv::engine::OnnxGraphFacts facts;
            zrv::engine::ReadOnnxGraphFacts(path, facts, why);
            const auto shared = zrv::engine::AcquireCompiledModel(path, facts, holder.inputSize(), why);
            ov::InferRequest request = shared->compiled.create_infer_request();
            for (int i = 0; i < 3; ++i) request.infer();
            bare = MedianMs(30, [&] { request.infer(); });
        }
#endif
        std::printf("%-22s %9.1f %9.1f %9.2f %9.2f %9.2f %10.2fx %10.3fx\n", argv[m], load[0], load[1], call[0],
                    call[1], bare, ok[0] && ok[1] ? call[1] / call[0] : 0.0, bare > 0 ? call[0] / bare : 0.0);
    }
    return 0;
}
