// Decoding, suppression and mapping of a model's output in every layout with any values:
// scores reach the cut, suppression keeps a subset, and mapped boxes stay in the image.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "engine/detector_output.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int classes = in.ConsumeIntegralInRange(1, 90);
    const int anchors = in.ConsumeIntegralInRange(0, 400);
    const int layout = in.ConsumeIntegralInRange(0, 3);
    const std::vector<int64_t> shape = layout == 0   ? std::vector<int64_t>{1, 4 + classes, anchors}
                                       : layout == 1 ? std::vector<int64_t>{1, anchors, 4 + classes}
                                       : layout == 2 ? std::vector<int64_t>{1, anchors, 5 + classes}
                                                     : std::vector<int64_t>{1, anchors, 6};
    std::string why;
    // The layout test takes any shape.
    (void)zrv::engine::IdentifyOutput({in.ConsumeIntegral<int64_t>(), in.ConsumeIntegral<int64_t>(),
                                       in.ConsumeIntegral<int64_t>()},
                                      in.ConsumeIntegral<int>(), in.ConsumeBool(), why);
    const auto format = zrv::engine::IdentifyOutput(shape, classes, layout == 3, why);
    if (!format || anchors == 0) return 0;

    zrv::engine::Letterbox lb;
    lb.image = cv::Size(in.ConsumeIntegralInRange(1, 8000), in.ConsumeIntegralInRange(1, 8000));
    lb.scale = in.ConsumeFloatingPointInRange(0.01f, 10.0f);
    lb.padX = in.ConsumeIntegralInRange(0, 2000);
    lb.padY = in.ConsumeIntegralInRange(0, 2000);

    std::vector<float> values(static_cast<size_t>(shape[1] * shape[2]));
    for (float& value : values) value = in.remaining_bytes() >= 4 ? in.ConsumeFloatingPoint<float>() : 0.5f;
    const float minScore = in.ConsumeProbability<float>();
    std::vector<zrv::engine::Candidate> candidates, kept;
    std::vector<int> order;
    if (!zrv::engine::DecodeOutput({values.data(), shape}, *format, minScore, candidates)) std::abort();
    for (const auto& c : candidates) {
        if (!(c.score >= minScore)) std::abort();
        if (c.classId < 0 || c.classId >= classes) std::abort();
    }
    zrv::engine::SuppressPerClass(candidates, in.ConsumeProbability<float>(), order, kept);
    if (kept.size() > candidates.size() || (!candidates.empty() && kept.empty())) std::abort();
    zrv::engine::MapToImage(kept, lb);
    for (const auto& c : kept) {
        if ((c.box & cv::Rect(0, 0, lb.image.width, lb.image.height)) != c.box || c.box.area() <= 0) std::abort();
    }
    return 0;
}
