// The plug-in's own work per frame, with an engine that answers at once: a search step and a
// tracking step at 720p, 1080p and 4K, with the heap allocations each frame makes.
#include <benchmark/benchmark.h>

#include "allocation_counter.h"

#include "detector/ZRVCustomWD.h"
#include "zero_cost_engine.h"

namespace {
extern "C" void Quiet(int, const char*, void*) {}

void OwnWork(benchmark::State& state, bool tracking) {
    SetConsoleSink(Quiet, nullptr);
    zero_cost::answers().weapon = tracking;
    ZRVCustomWD detector;
    std::string labels;
    detector.Initialize("models", 0.5f, labels);
    const cv::Mat frame(static_cast<int>(state.range(1)), static_cast<int>(state.range(0)), CV_8UC3,
                        cv::Scalar::all(90));
    for (int i = 0; i < 20; ++i) detector.RunInference(frame, "bench");  // locked on when tracking
    const AllocationCounter allocations(state);
    for (auto _ : state) {
        auto results = detector.RunInference(frame, "bench");
        benchmark::DoNotOptimize(results.data());
    }
}
void BM_OwnWorkSearchStep(benchmark::State& state) { OwnWork(state, false); }
void BM_OwnWorkTrackingStep(benchmark::State& state) { OwnWork(state, true); }
}  // namespace

BENCHMARK(BM_OwnWorkSearchStep)->Args({1280, 720})->Args({1920, 1080})->Args({3840, 2160})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OwnWorkTrackingStep)->Args({1280, 720})->Args({1920, 1080})->Args({3840, 2160})->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
