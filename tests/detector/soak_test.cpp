// Thousands of frames of seeded random engine answers, with the detector's invariants
// checked after every frame. Run under the sanitizer build it also proves that no engine
// box, however extreme, leads to undefined behaviour.
#include <cmath>
#include <limits>
#include <map>
#include <random>

#include "support/detector_fixture.h"

using scripted::Detection;

namespace {

struct Issued {
    cv::Rect frameBox;
    float confidence;
};

class RandomEngine {
public:
    explicit RandomEngine(unsigned seed) : rng_(seed) {}

    int Pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

    cv::Rect Box(cv::Size image, int scale = 3) {
        if (Pick(0, 40) == 0) {  // now and then a box no sane engine would give
            const int big = std::numeric_limits<int>::max();
            return {Pick(0, 1) ? big - Pick(0, 1000) : -big, Pick(-big, big), Pick(-big, big),
                    Pick(0, big)};
        }
        const int w = Pick(1, std::max(1, image.width / scale));
        const int h = Pick(1, std::max(1, image.height / scale));
        return {Pick(-20, image.width), Pick(-20, image.height), w, h};
    }

    float Confidence() {
        switch (Pick(0, 20)) {
            case 0: return std::numeric_limits<float>::quiet_NaN();
            case 1: return -0.5f;
            default: return std::uniform_real_distribution<float>(0.0f, 1.0f)(rng_);
        }
    }

    std::vector<ZORAVELIN::Object> Weapons(const scripted::Call& call) {
        std::vector<ZORAVELIN::Object> out;
        const int count = Pick(0, 3) == 0 ? Pick(1, 3) : 0;
        for (int i = 0; i < count; ++i) {
            auto object = Detection(Box(call.imageSize), Confidence(), 0, "w" + std::to_string(next_));
            object.auxId = 99;
            const cv::Rect shifted(
                static_cast<int>(std::clamp<int64_t>(int64_t{object.box.x} + call.offset.x, INT32_MIN, INT32_MAX)),
                static_cast<int>(std::clamp<int64_t>(int64_t{object.box.y} + call.offset.y, INT32_MIN, INT32_MAX)),
                object.box.width, object.box.height);
            issued_[object.className] = {shifted, object.confidence};
            ++next_;
            out.push_back(object);
        }
        return out;
    }

    std::vector<ZORAVELIN::Object> Boxes(const scripted::Call& call, int most) {
        std::vector<ZORAVELIN::Object> out;
        for (int i = Pick(0, most); i > 0; --i) out.push_back(Detection(Box(call.imageSize, 1), 0.9f, Pick(0, 1)));
        return out;
    }

    const std::map<std::string, Issued>& issued() const { return issued_; }

private:
    std::mt19937 rng_;
    int next_ = 0;
    std::map<std::string, Issued> issued_;
};

}  // namespace

using SoakTest = DetectorTest;

TEST_F(SoakTest, InvariantsHoldOverThousandsOfRandomFrames) {
    for (unsigned seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        ZRVCustomWDTestAccess a = FreshDetector();
        RandomEngine engine(seed);
        const float threshold = seed == 2 ? 0.2f : 0.5f;
        ASSERT_TRUE(Init(threshold));
        scripted::script().detectResponder[scripted::kWeapon] = [&](const scripted::Call& c) { return engine.Weapons(c); };
        scripted::script().detectResponder[scripted::kPerson] = [&](const scripted::Call& c) { return engine.Boxes(c, 3); };
        scripted::script().motionResponder = [&](const scripted::Call& c) { return engine.Boxes(c, 4); };

        const cv::Size sizes[] = {{1920, 1080}, {1280, 720}, {640, 480}, {320, 240}, {1000, 102}, {60, 60}};
        std::map<std::pair<int, int>, cv::Mat> frames;
        cv::Size size = sizes[0];
        size_t reported = 0, tracked = 0;
        for (int i = 0; i < 4000; ++i) {
            if (engine.Pick(0, 200) == 0) size = sizes[engine.Pick(0, 5)];
            cv::Mat& frame = frames[{size.width, size.height}];
            if (frame.empty()) frame = Frame(size.width, size.height);

            tracked += a.area().width > 50 && a.area().height > 50;
            const auto results = detector->RunInference(frame, "soak");
            reported += results.size();

            const cv::Rect area = a.area();
            const bool empty = area.width <= 0 || area.height <= 0;
            ASSERT_TRUE(empty || (cv::Rect(0, 0, frame.cols, frame.rows) & area) == area)
                << "frame " << i << " area " << area;
            ASSERT_GE(a.noDetectionCount(), 0);
            ASSERT_LT(a.noDetectionCount(), 80);
            ASSERT_GE(a.confirmationCount(), 0);
            ASSERT_LE(a.confirmationCount(), 11);
            ASSERT_GE(a.currentPriority(), 0);
            ASSERT_LE(a.currentPriority(), 13);
            for (const CustomObject& r : results) {
                auto it = engine.issued().find(r.className);
                ASSERT_NE(it, engine.issued().end()) << "a result the engine never gave";
                ASSERT_GE(r.confidence, threshold);
                ASSERT_EQ(r.confidence, it->second.confidence);
                ASSERT_EQ(r.box, it->second.frameBox);
                ASSERT_EQ(r.cameraId, "soak");
                ASSERT_EQ(r.auxId, 0);
            }
        }
        // The stream must exercise both modes and report something, or it proves little.
        EXPECT_GT(reported, 20u);
        EXPECT_GT(tracked, 200u);
    }
}
