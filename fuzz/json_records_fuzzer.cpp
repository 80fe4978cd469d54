// The JSON record writer with arbitrary bytes in every name: the line it writes is always
// valid JSON (bytes that are not UTF-8 replaced), one line, never an exception.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "output/records.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const std::string camera = in.ConsumeRandomLengthString(64);
    std::vector<CustomObject> detections(in.ConsumeIntegralInRange(0, 3));
    for (auto& d : detections) {
        d.className = in.ConsumeRandomLengthString(64);
        d.extraInfo = in.ConsumeRandomLengthString(64);
        d.confidence = in.ConsumeFloatingPoint<float>();
        d.box = cv::Rect(in.ConsumeIntegral<int>(), in.ConsumeIntegral<int>(), in.ConsumeIntegral<int>(),
                         in.ConsumeIntegral<int>());
    }
    weapon_detect::AlarmEvent event;
    event.className = in.ConsumeRandomLengthString(64);
    event.bestConfidence = in.ConsumeFloatingPoint<float>();
    event.startTime = in.ConsumeFloatingPoint<double>();
    const std::string snapshot = in.ConsumeRandomLengthString(64);
    for (const auto& record : {weapon_detect::FrameRecord(camera, in.ConsumeIntegral<long long>(),
                                                          in.ConsumeFloatingPoint<double>(), detections),
                               weapon_detect::EventRecord(camera, event, snapshot)}) {
        const std::string line = weapon_detect::RecordLine(record);
        if (line.find('\n') != std::string::npos) std::abort();
        if (!nlohmann::json::accept(line)) std::abort();
    }
    return 0;
}
