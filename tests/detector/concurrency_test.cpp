// Several threads on one detector and several detectors side by side, as hosts drive them.
// Built and run under ThreadSanitizer too: every call that takes the detector's lock must be
// race-free against every other.
#include <atomic>
#include <chrono>
#include <deque>
#include <random>
#include <thread>

#include "support/detector_fixture.h"

using scripted::Detection;

namespace {
extern "C" void Discard(int, const char*, void*) {}

// The engine answers a weapon held by a person in a varying place, with motion under it.
void ScriptBusyScene() {
    scripted::script().detectResponder[scripted::kWeapon] = [](const scripted::Call& call) {
        const int x = static_cast<int>(reinterpret_cast<uintptr_t>(call.imageData) / 64 % 200);
        return std::vector<ZORAVELIN::Object>{Detection({x, 40, 30, 14}, 0.9f)};
    };
    scripted::script().detectResponder[scripted::kPerson] = [](const scripted::Call&) {
        return std::vector<ZORAVELIN::Object>{Detection({0, 0, 1920, 1080}, 0.9f, 0, "person")};
    };
    scripted::script().motionResponder = [](const scripted::Call& call) {
        ZORAVELIN::Object moving;
        moving.box = cv::Rect(0, 0, call.imageSize.width, call.imageSize.height);
        return std::vector<ZORAVELIN::Object>{moving};
    };
}

void ExpectInside(const std::vector<CustomObject>& results, const cv::Mat& frame) {
    for (const auto& r : results) {
        EXPECT_EQ(r.box & cv::Rect(0, 0, frame.cols, frame.rows), r.box);
        EXPECT_GE(r.confidence, 0.0f);
    }
}
}  // namespace

class ConcurrencyTest : public DetectorTest {
protected:
    void SetUp() override {
        DetectorTest::SetUp();
        SetConsoleSink(Discard, nullptr);
        ScriptBusyScene();
    }
    void TearDown() override {
        SetConsoleSink(nullptr, nullptr);
        DetectorTest::TearDown();
    }
};

TEST_F(ConcurrencyTest, FramesRaceEveryOtherCallOnOneDetector) {
    ASSERT_TRUE(Init());
    std::atomic<bool> stop{false};
    std::atomic<long> frames{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            const cv::Mat frame(1080, 1920, CV_8UC3, cv::Scalar::all(t * 40));
            const std::string camera = "cam" + std::to_string(t);
            while (!stop) {
                ExpectInside(detector->RunInference(frame, camera), frame);
                ++frames;
            }
        });
    }
    // Every other call of the interface, over and over, while frames run.
    threads.emplace_back([&] {
        while (frames < 30) std::this_thread::yield();  // frames are under way
        const long framesBefore = frames;
        std::mt19937 random(7);
        CustomParams params;
        params.listB = {"a", "b"};
        for (int i = 0; i < 400; ++i) {
            std::string labels;
            switch (random() % 6) {
                case 0: detector->Initialize("models", 0.5f, labels); break;
                case 1: detector->Destroy(); break;
                case 2: detector->OptimizeModel(true); break;
                case 3: { CustomParams copy = params; detector->ConfigureParameters(copy); break; }
                case 4: detector->SetParameters(params); break;
                case 5: detector->SetLoadEngineOnCreate(i % 2 == 0); break;
            }
            // Interleave: let a frame through between calls.
            const long seen = frames;
            while (frames == seen && i % 4 == 0) std::this_thread::yield();
        }
        EXPECT_GT(frames, framesBefore) << "frames ran while the other calls did";
        stop = true;
    });
    for (auto& t : threads) t.join();
}

TEST_F(ConcurrencyTest, DetectorsSideBySideShareNothing) {
    constexpr int kDetectors = 4;
    std::vector<std::unique_ptr<ZRVCustomWD>> detectors;
    for (int i = 0; i < kDetectors; ++i) {
        detectors.push_back(std::make_unique<ZRVCustomWD>());
        std::string labels;
        ASSERT_TRUE(detectors.back()->Initialize("models", 0.5f, labels));
    }
    std::vector<std::thread> threads;
    std::atomic<long> reported{0};
    for (int i = 0; i < kDetectors; ++i) {
        threads.emplace_back([&, i] {
            const cv::Mat frame(720 + 120 * i, 1280, CV_8UC3, cv::Scalar::all(i * 50));
            for (int f = 0; f < 300; ++f) {
                const auto results = detectors[i]->RunInference(frame, "door");
                ExpectInside(results, frame);
                reported += static_cast<long>(results.size());
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_GT(reported, 0) << "each detector tracks and reports on its own";
}

namespace {
// A sink that calls back into the detector that printed (optimising it, which prints again),
// and notes a call that starts after it was replaced.
struct CallingBackSink {
    ZRVCustomWD* detector = nullptr;
    std::atomic<int> lines{0};
    std::atomic<bool> replaced{false};
    std::atomic<int> callsAfterReplaced{0};
};

extern "C" void CallBack(int, const char*, void* raw) {
    auto* sink = static_cast<CallingBackSink*>(raw);
    if (sink->replaced) ++sink->callsAfterReplaced;
    ++sink->lines;
    thread_local bool inside = false;  // one call back deep
    if (inside) return;
    inside = true;
    sink->detector->OptimizeModel(true);
    inside = false;
}
}  // namespace

TEST_F(ConcurrencyTest, SinksCallingBackAreReplacedWhileEveryCallPrints) {
    ASSERT_TRUE(Init());
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    // Lines from every kind of call on one detector: frames (a note per new camera id),
    // optimisation and loading.
    threads.emplace_back([&] {
        const cv::Mat frame(1080, 1920, CV_16UC3, cv::Scalar::all(9000));
        for (int i = 0; !stop; ++i) ExpectInside(detector->RunInference(frame, "cam" + std::to_string(i % 100)), frame);
    });
    threads.emplace_back([&] {
        while (!stop) detector->OptimizeModel(true);
    });
    threads.emplace_back([&] {
        std::string labels;
        while (!stop) detector->Initialize("models", 0.5f, labels);
    });
    // Each sink is replaced once it has seen a line; none may be called after that.
    std::deque<CallingBackSink> sinks;
    for (int round = 0; round < 100; ++round) {
        CallingBackSink& sink = sinks.emplace_back();
        sink.detector = detector.get();
        SetConsoleSink(CallBack, &sink);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (sink.lines == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
        SetConsoleSink(Discard, nullptr);
        sink.replaced = true;
        if (sink.lines == 0) {
            ADD_FAILURE() << "round " << round << ": no line within 20 s";
            break;
        }
    }
    stop = true;
    for (auto& t : threads) t.join();
    for (const CallingBackSink& sink : sinks) EXPECT_EQ(sink.callsAfterReplaced, 0);
}
