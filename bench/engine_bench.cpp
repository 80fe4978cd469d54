// Costs per frame: one detection pass on the views the detector hands over, the person
// model on a whole frame, motion detection on the tracked area, and whole frames through
// the plug-in on the demo scene.
#include <atomic>
#include <cstdlib>
#include <new>

#include <benchmark/benchmark.h>

#include "demo/demo_scene.h"
#include "loader/plugin_loader.h"
#include "support/engine_load.h"
#include "zrv/ZRVCustomClass.h"
#include "zrv/ZRVLIB.h"
#include "allocation_counter.h"

namespace {

using Engine = ZORAVELIN::ZRVLIBHandle;

Engine LoadDemo(const char* model, const char* classes) {
    Engine engine(ZORAVELIN::ZRVLIB::Create());
    std::string labels;
    zrv::testing::LoadModel(*engine, ZRV_SOURCE_DIR "/models/demo", model, classes, labels, 0.5f, true);
    return engine;
}

const cv::Mat& DemoFrame() {
    static const cv::Mat frame = [] {
        cv::Mat f;
        zrv::demo::DemoScene().Render(100, f);
        return f;
    }();
    return frame;
}

void BM_WeaponModelOnView(benchmark::State& state) {
    Engine engine = LoadDemo("train_last", "classes.names");
    const cv::Rect view(0, 0, static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    std::vector<ZORAVELIN::Object> found;
    const AllocationCounter allocations(state);
    for (auto _ : state) {
        engine->RunInference(DemoFrame()(view + cv::Point(480, 300)), "bench", found);
        benchmark::DoNotOptimize(found.data());
    }
}
BENCHMARK(BM_WeaponModelOnView)->Args({480, 540})->Args({480, 480})->Unit(benchmark::kMillisecond);

void BM_PersonModelOnFullFrame(benchmark::State& state) {
    Engine engine = LoadDemo("filter", "filter.names");
    std::vector<ZORAVELIN::Object> found;
    for (auto _ : state) {
        engine->RunInference(DemoFrame(), "cam", found);
        benchmark::DoNotOptimize(found.data());
    }
}
BENCHMARK(BM_PersonModelOnFullFrame)->Unit(benchmark::kMillisecond);

void BM_MotionOnTrackedArea(benchmark::State& state) {
    Engine engine(ZORAVELIN::ZRVLIB::Create());
    std::vector<ZORAVELIN::Object> found;
    int step = 0;
    const AllocationCounter allocations(state);
    for (auto _ : state) {
        const cv::Rect area(700 + (step++ % 8) * 10, 400, 480, 480);  // the area moves with the weapon
        engine->DetectMovement(DemoFrame()(area), "bench", found);
        benchmark::DoNotOptimize(found.data());
    }
}
BENCHMARK(BM_MotionOnTrackedArea)->Unit(benchmark::kMicrosecond);

void BM_PluginOnDemoScene(benchmark::State& state) {
    const zrv::PluginModule module(ZRV_MODULE_PATH);
    auto detector = module.NewDetector();
    std::string labels;
    detector->Initialize(ZRV_SOURCE_DIR "/models/demo", 0.5f, labels);
    // Pre-rendered frames, so that only the plug-in is measured.
    const zrv::demo::DemoScene scene;
    std::vector<cv::Mat> frames(60);
    for (size_t i = 0; i < frames.size(); ++i) scene.Render(40 + static_cast<int>(i), frames[i]);
    size_t i = 0;
    {
    const AllocationCounter allocations(state);
    for (auto _ : state) {
        auto results = detector->RunInference(frames[i++ % frames.size()], "bench");
        benchmark::DoNotOptimize(results.data());
    }
    }
}
BENCHMARK(BM_PluginOnDemoScene)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
