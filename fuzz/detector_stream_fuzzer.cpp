// Drives the detector through a short stream of frames whose sizes (from empty to 8K) and
// engine answers come from the input bytes: any number of records, boxes anywhere, extreme
// integers, confidences that are NaN, infinite, negative or above 1, any class, persons and
// motion regions alike, and calls that throw. After every frame: the held area is empty or
// inside the frame, the counters stay in their ranges, and every result is something the
// engine answered, shifted to the frame, with a confidence of at least the threshold.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>

#include "support/detector_access.h"
#include "support/scripted_engine.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

float Confidence(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 7)) {
        case 0: return std::numeric_limits<float>::quiet_NaN();
        case 1: return std::numeric_limits<float>::infinity();
        case 2: return -std::numeric_limits<float>::infinity();
        case 3: return in.ConsumeFloatingPointInRange(-2.0f, 2.0f);
        default: return in.ConsumeProbability<float>();
    }
}

int Coordinate(FuzzedDataProvider& in) {
    return in.ConsumeBool() ? in.ConsumeIntegral<int>() : in.ConsumeIntegralInRange(-50, 8000);
}

struct Issued {
    cv::Rect frameBox;
    float confidence;
};

// The engine's answers, from the bytes; weapons are named so that results can be traced.
class BytesEngine {
public:
    explicit BytesEngine(FuzzedDataProvider& in) : in_(in) {}

    std::vector<ZORAVELIN::Object> Answer(const scripted::Call& call, bool weapons) {
        if (in_.ConsumeIntegralInRange(0, 40) == 0) {
            if (in_.ConsumeBool()) throw std::runtime_error("engine failure");
            throw 42;  // not a standard exception: reaches the host
        }
        std::vector<ZORAVELIN::Object> out;
        for (int n = in_.ConsumeIntegralInRange(0, 4); n > 0; --n) {
            ZORAVELIN::Object o;
            o.box = cv::Rect(Coordinate(in_), Coordinate(in_), Coordinate(in_), Coordinate(in_));
            o.confidence = Confidence(in_);
            o.classId = in_.ConsumeIntegral<int>();
            if (weapons) {
                o.className = "w" + std::to_string(next_++);
                const auto shift = [](int v, int by) {
                    return static_cast<int>(std::clamp<int64_t>(int64_t{v} + by, INT32_MIN, INT32_MAX));
                };
                issued_[o.className] = {{shift(o.box.x, call.offset.x), shift(o.box.y, call.offset.y),
                                         o.box.width, o.box.height},
                                        o.confidence};
            }
            out.push_back(std::move(o));
        }
        return out;
    }

    const std::map<std::string, Issued>& issued() const { return issued_; }

private:
    FuzzedDataProvider& in_;
    int next_ = 0;
    std::map<std::string, Issued> issued_;
};

extern "C" void Quiet(int, const char*, void*) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One 8K frame's worth of pixels, shared by every frame size: frames are headers over it.
    static std::vector<uint8_t> pixels(7680u * 4320u * 3u, 90);
    static const bool quiet = (SetConsoleSink(Quiet, nullptr), true);
    (void)quiet;

    FuzzedDataProvider in(data, size);
    scripted::Reset();
    BytesEngine engine(in);
    scripted::script().detectResponder[scripted::kWeapon] = [&](const scripted::Call& c) { return engine.Answer(c, true); };
    scripted::script().detectResponder[scripted::kPerson] = [&](const scripted::Call& c) { return engine.Answer(c, false); };
    scripted::script().motionResponder = [&](const scripted::Call& c) { return engine.Answer(c, false); };

    ZRVCustomWD detector;
    ZRVCustomWDTestAccess a(detector);
    const float threshold = in.ConsumeProbability<float>();
    std::string labels;
    if (!detector.Initialize("models", threshold, labels)) Fail("initialise");

    cv::Size frameSize(in.ConsumeIntegralInRange(0, 7680), in.ConsumeIntegralInRange(0, 4320));
    // The held area belongs to the last frame analysed: frames turned away leave it be.
    cv::Size analysed;
    for (int f = in.ConsumeIntegralInRange(1, 24); f > 0 && in.remaining_bytes() > 0; --f) {
        if (in.ConsumeIntegralInRange(0, 3) == 0) {
            frameSize = cv::Size(in.ConsumeIntegralInRange(0, 7680), in.ConsumeIntegralInRange(0, 4320));
        }
        const cv::Mat frame = frameSize.area() > 0 ? cv::Mat(frameSize, CV_8UC3, pixels.data()) : cv::Mat();
        if (frame.cols >= 10 && frame.rows >= 10) analysed = frame.size();
        std::vector<CustomObject> results;
        try {
            results = detector.RunInference(frame, "fuzz");
        } catch (int) {
            continue;  // the non-standard exception, as documented
        }
        const cv::Rect area = a.area();
        if (area.width > 0 && area.height > 0 && (cv::Rect(cv::Point(), analysed) & area) != area) {
            Fail("the held area leaves the frame");
        }
        if (a.noDetectionCount() < 0 || a.noDetectionCount() >= 80) Fail("no-detection count");
        if (a.confirmationCount() < 0 || a.confirmationCount() > 11) Fail("confirmation count");
        if (a.currentPriority() < 0 || a.currentPriority() > 13) Fail("section cursor");
        for (const CustomObject& r : results) {
            const auto it = engine.issued().find(r.className);
            if (it == engine.issued().end()) Fail("a result the engine never gave");
            if (!(r.confidence >= threshold)) Fail("a result under the threshold");
            if (r.confidence != it->second.confidence && !std::isnan(it->second.confidence)) Fail("confidence changed");
            if (r.box != it->second.frameBox) Fail("box not the engine's, shifted to the frame");
            if (r.cameraId != "fuzz" || r.auxId != 0) Fail("record fields");
        }
    }
    return 0;
}
