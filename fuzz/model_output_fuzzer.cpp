// Decoding and suppression of a model's output of any shape and any values: boxes stay in
// the image, scores reach the cut, and suppression keeps a subset.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "engine/detector_output.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int classes = in.ConsumeIntegralInRange(1, 90);
    const int anchors = in.ConsumeIntegralInRange(0, 400);
    const bool anchorFree = in.ConsumeBool();
    const std::vector<int> shape = anchorFree ? std::vector<int>{1, 4 + classes, anchors}
                                              : std::vector<int>{1, anchors, 5 + classes};
    std::string why;
    // The layout test takes any shape.
    (void)zrv::engine::IdentifyOutput({in.ConsumeIntegral<int>(), in.ConsumeIntegral<int>(), in.ConsumeIntegral<int>()},
                                      in.ConsumeIntegral<int>(), why);
    const auto format = zrv::engine::IdentifyOutput(shape, classes, why);
    if (!format || anchors == 0) return 0;

    zrv::engine::Letterbox lb;
    lb.image = cv::Size(in.ConsumeIntegralInRange(1, 8000), in.ConsumeIntegralInRange(1, 8000));
    lb.scale = in.ConsumeFloatingPointInRange(0.01f, 10.0f);
    lb.padX = in.ConsumeIntegralInRange(0, 2000);
    lb.padY = in.ConsumeIntegralInRange(0, 2000);

    cv::Mat output(shape, CV_32F);
    float* values = output.ptr<float>();
    for (size_t i = 0; i < output.total(); ++i) {
        values[i] = in.remaining_bytes() >= 4 ? in.ConsumeFloatingPoint<float>() : 0.5f;
    }
    const float minScore = in.ConsumeProbability<float>();
    std::vector<zrv::engine::Candidate> candidates, kept;
    std::vector<int> order;
    zrv::engine::DecodeOutput(output, *format, minScore, lb, candidates);
    for (const auto& c : candidates) {
        if (!(c.score >= minScore)) std::abort();
        if ((c.box & cv::Rect(0, 0, lb.image.width, lb.image.height)) != c.box || c.box.area() <= 0) std::abort();
        if (c.classId < 0 || c.classId >= classes) std::abort();
    }
    zrv::engine::SuppressPerClass(candidates, in.ConsumeProbability<float>(), order, kept);
    if (kept.size() > candidates.size() || (!candidates.empty() && kept.empty())) std::abort();
    return 0;
}
