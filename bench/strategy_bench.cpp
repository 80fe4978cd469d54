// What the search-and-track design buys, side by side on the same stream, engine and models:
//   (a) the plug-in: one ranked section per searching frame, the held area while tracking;
//   (b) one pass over the whole frame, every frame;
//   (c) every scan section of the frame, every frame, boxes merged with the engine's NMS.
// (b) and (c) apply the plug-in's person check. Recall, false reports and time to the first
// report come from the demo models on the demo scene at 1080p and 4K (a weapon of 32 x 14
// pixels); speed from detectors of realistic cost (random weights: only their cost means
// anything). Also: where the plug-in's time goes, and its memory over a long run.
//
// Usage: strategy_bench COST-MODEL-FOLDER [LONG-RUN-FRAMES]   (the engine call against the
// bare forward pass is backend_bench's)
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "demo/demo_scene.h"
#include <opencv2/dnn.hpp>

#include "detector/checked_geometry.h"
#include "engine/detector_output.h"
#include "engine/letterbox.h"
#include "engine/profile.h"
#include "support/detector_access.h"
#include "support/engine_load.h"

namespace fs = std::filesystem;
using zrv::demo::DemoScene;
using zrv::demo::SceneTruth;
using Clock = std::chrono::steady_clock;

namespace {

constexpr float kThreshold = 0.5f;
constexpr float kMatchIoU = 0.3f;
// The share of a weapon's box inside a person's box above which the plug-in takes it as held.
constexpr float kHeldShare = 0.05f;

struct Models {
    std::string folder, weapon, person;  // the plug-in reads train_last and filter from `folder`
};

// One strategy: the reports for a frame.
using Strategy = std::function<std::vector<cv::Rect>(const cv::Mat& frame)>;

class Strategies {
public:
    explicit Strategies(const Models& m) {
        std::string labels;
        zrv::testing::LoadModel(*weapon_, m.folder, m.weapon, "classes.names", labels, kThreshold);
        std::string map;
        ::testing::internal::CaptureStdout();
        plugin_.Initialize(m.folder, kThreshold, map);
        own_.Initialize(m.folder, kThreshold, map);  // its sections and its person check serve (b) and (c)
        ::testing::internal::GetCapturedStdout();
    }

    std::vector<cv::Rect> PlugIn(const cv::Mat& frame) {
        std::vector<cv::Rect> out;
        for (const auto& r : plugin_.RunInference(frame, "bench")) out.push_back(r.box);
        return out;
    }

    std::vector<cv::Rect> WholeFrame(const cv::Mat& frame) {
        weapon_->RunInference(frame, "bench", found_);
        return Confirm(frame, found_);
    }

    std::vector<cv::Rect> EverySection(const cv::Mat& frame) {
        ZRVCustomWDTestAccess access(own_);
        candidates_.clear();
        for (const auto& section : access.divideImage(frame)) {
            weapon_->RunInference(frame(section.region), "bench", found_);
            for (const auto& o : found_) {
                const cv::Rect box = o.box + section.region.tl();
                candidates_.push_back({cv::Rect2f(box), box, o.confidence, o.classId});
            }
        }
        zrv::engine::SuppressPerClass(candidates_, 0.5f, order_, kept_);
        merged_.clear();
        for (const auto& c : kept_) {
            ZORAVELIN::Object o;
            o.box = c.box;
            o.confidence = c.score;
            merged_.push_back(o);
        }
        return Confirm(frame, merged_);
    }

    int sectionsOf(const cv::Mat& frame) {
        ZRVCustomWDTestAccess access(own_);
        return static_cast<int>(access.divideImage(frame).size());
    }

private:
    // The plug-in's own person check, through its own operations.
    std::vector<cv::Rect> Confirm(const cv::Mat& frame, const std::vector<ZORAVELIN::Object>& weapons) {
        ZRVCustomWDTestAccess access(own_);
        std::vector<cv::Rect> out;
        bool looked = false;
        for (const auto& w : weapons) {
            if (!(w.confidence >= kThreshold)) continue;
            if (!looked) persons_ = access.persons(frame);  // only when needed
            looked = true;
            if (access.heldByPerson(w, persons_, kHeldShare)) out.push_back(w.box);
        }
        return out;
    }

    ZORAVELIN::ZRVLIBHandle weapon_{ZORAVELIN::ZRVLIB::Create()};
    ZRVCustomWD plugin_, own_;
    std::vector<ZORAVELIN::Object> found_, persons_, merged_;
    std::vector<zrv::engine::Candidate> candidates_, kept_;
    std::vector<int> order_;
};

struct Outcome {
    double msPerFrame = 0;
    double recall = 0;
    double falsePer1000 = 0;
    int framesToFirst = -1;
    int frames = 0;
};

Outcome Run(const DemoScene& scene, const Strategy& strategy, int frames, int first = 0) {
    Outcome o;
    cv::Mat frame;
    double seconds = 0;
    int visible = 0, found = 0, falseReports = 0, firstVisible = -1;
    for (int i = first; i < first + frames; ++i) {
        const SceneTruth truth = scene.Render(i % DemoScene::kFrames, frame);
        const auto start = Clock::now();
        const auto reports = strategy(frame);
        seconds += std::chrono::duration<double>(Clock::now() - start).count();
        if (truth.weaponVisible && firstVisible < 0) firstVisible = i;
        bool hit = false;
        for (const auto& r : reports) {
            if (truth.weapon.area() > 0 && zrv::IoU(r, truth.weapon) >= kMatchIoU) {
                hit = true;
            } else {
                ++falseReports;
            }
        }
        if (truth.weaponVisible) {
            ++visible;
            found += hit;
            if (hit && o.framesToFirst < 0) o.framesToFirst = i - firstVisible;
        }
    }
    o.frames = frames;
    o.msPerFrame = seconds * 1000 / frames;
    o.recall = visible ? double(found) / visible : 0;
    o.falsePer1000 = 1000.0 * falseReports / frames;
    return o;
}

void Ratio(const char* what, double a, double b) { std::printf("%s: %.2f\n", what, b > 0 ? a / b : 0.0); }

// A folder the plug-in can load the realistic-cost models from, by the names it asks for.
Models CostModels(const std::string& folder, int size) {
    const fs::path dir = fs::path(folder) / ("plugin_" + std::to_string(size));
    fs::create_directories(dir);
    const auto link = [&](const std::string& target, const std::string& name) {
        std::error_code ignored;
        fs::remove(dir / name, ignored);
        fs::create_symlink(fs::absolute(fs::path(folder) / target), dir / name);
    };
    link("anchor_free_" + std::to_string(size) + ".onnx", "train_last.onnx");
    link("objectness_" + std::to_string(size) + ".onnx", "filter.onnx");
    link("classes.names", "classes.names");
    link("classes.names", "filter.names");
    return {dir.string(), "train_last", "filter"};
}

long ResidentKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return 0;
}

// Per scene (1080p, 4K) and strategy ((a), (b), (c)).
using RecallTable = std::array<std::array<double, 3>, 2>;
// Per input size (320, 640), scene and strategy: ms per frame.
using SpeedTable = std::array<std::array<std::array<double, 3>, 2>, 2>;

const char* SceneName(int scale) { return scale == 1 ? "1080p" : "4K"; }

// Strategy `which` of `strategies` (which must outlive it): 0 (a), 1 (b), 2 (c).
Strategy Pick(Strategies& strategies, int which) {
    Strategies* s = &strategies;
    if (which == 0) return [s](const cv::Mat& f) { return s->PlugIn(f); };
    if (which == 1) return [s](const cv::Mat& f) { return s->WholeFrame(f); };
    return [s](const cv::Mat& f) { return s->EverySection(f); };
}

// 1. Recall, false reports, time to the first report: demo models, the whole scene.
RecallTable CompareOnDemo(const Models& demo) {
    RecallTable recall{};
    std::printf("Strategies on the demo scene, demo models (weapon 32 x 14 pixels, %d frames)\n", DemoScene::kFrames);
    std::printf("%-6s %-22s %10s %8s %14s %14s\n", "scene", "strategy", "ms/frame", "recall", "false/1000 fr",
                "frames to 1st");
    for (int scale : {1, 2}) {
        const DemoScene scene(7, scale);
        const char* labels[] = {"(a) plug-in", "(b) whole frame", "(c) every section"};
        for (int s = 0; s < 3; ++s) {
            Strategies strategies(demo);  // fresh state for every run
            const Outcome o = Run(scene, Pick(strategies, s), DemoScene::kFrames);
            recall[scale - 1][s] = o.recall;
            std::printf("%-6s %-22s %10.1f %8.2f %14.1f %14d\n", SceneName(scale), labels[s], o.msPerFrame, o.recall,
                        o.falsePer1000, o.framesToFirst);
        }
    }
    return recall;
}

// 2. Speed with detectors of realistic cost (random weights).
SpeedTable CompareSpeed(const std::string& costFolder) {
    SpeedTable speed{};
    std::printf("\nSpeed with realistic-cost detectors (random weights: cost only; anchor-free 3.1 M weapon "
                "model, objectness 1.9 M person model)\n");
    std::printf("%-6s %-5s %12s %12s %12s %10s\n", "scene", "input", "(a) ms/fr", "(b) ms/fr", "(c) ms/fr", "sections");
    for (int size : {320, 640}) {
        const Models models = CostModels(costFolder, size);
        for (int scale : {1, 2}) {
            const DemoScene scene(7, scale);
            Strategies strategies(models);
            cv::Mat probe;
            scene.Render(0, probe);
            const int frames = 30;
            auto& ms = speed[size == 640][scale - 1];
            for (int s = 0; s < 3; ++s) ms[s] = Run(scene, Pick(strategies, s), frames, 60).msPerFrame;
            std::printf("%-6s %-5d %12.1f %12.1f %12.1f %10d\n", SceneName(scale), size, ms[0], ms[1], ms[2],
                        strategies.sectionsOf(probe));
        }
    }
    return speed;
}

// How often the plug-in runs each pass per frame on the demo scene, and what its own work
// costs; measured with the demo models, which lock on.
struct PassShares {
    double weapon = 0, person = 0, motion = 0;  // passes per frame
    double motionMs = 0;                        // one motion pass
    double ownMs = 0;                           // the plug-in's own work per frame
};

// Runs (a) over the 1080p demo scene, prints its split and leaves the last frame in `frame`.
PassShares MeasureDemoShares(const Models& demo, cv::Mat& frame) {
    auto& profile = zrv::engine::Profile();
    Strategies strategies(demo);
    profile.Reset();
    const DemoScene scene;
    double seconds = 0;
    for (int i = 0; i < DemoScene::kFrames; ++i) {
        scene.Render(i, frame);
        const auto t = Clock::now();
        strategies.PlugIn(frame);
        seconds += std::chrono::duration<double>(Clock::now() - t).count();
    }
    const double n = DemoScene::kFrames;
    const double engine = profile.weapon.seconds() + profile.person.seconds() + profile.motion.seconds();
    std::printf(
        "demo models: weapon pass %.1f ms x %.2f/frame, person pass %.1f ms x %.2f/frame, motion %.2f ms x "
        "%.2f/frame, plug-in's own work %.3f ms/frame\n",
        1000 * profile.weapon.seconds() / std::max(1LL, profile.weapon.calls.load()), profile.weapon.calls / n,
        1000 * profile.person.seconds() / std::max(1LL, profile.person.calls.load()), profile.person.calls / n,
        1000 * profile.motion.seconds() / std::max(1LL, profile.motion.calls.load()), profile.motion.calls / n,
        1000 * (seconds - engine) / n);
    PassShares shares;
    shares.weapon = profile.weapon.calls / n;
    shares.person = profile.person.calls / n;
    shares.motion = profile.motion.calls / n;
    shares.motionMs = 1000 * profile.motion.seconds() / std::max(1LL, profile.motion.calls.load());
    shares.ownMs = 1000 * (seconds - engine) / n;
    return shares;
}

// What one pass of the realistic models costs, and the plug-in's time projected from the
// demo's shares; the person passes run on `frame`.
void ProjectRealistic(const std::string& costFolder, int size, const PassShares& shares, const cv::Mat& frame) {
    auto& profile = zrv::engine::Profile();
    const Models models = CostModels(costFolder, size);
    Strategies cost(models);
    profile.Reset();
    Run(
        DemoScene(), [&](const cv::Mat& f) { return cost.WholeFrame(f); }, 20, 60);
    const double weaponPass = 1000 * profile.weapon.seconds() / std::max(1LL, profile.weapon.calls.load());
    ZORAVELIN::ZRVLIBHandle person(ZORAVELIN::ZRVLIB::Create());
    std::string labels;
    zrv::testing::LoadModel(*person, models.folder, models.person, "filter.names", labels);
    std::vector<ZORAVELIN::Object> persons;
    zrv::engine::OperationTime t;
    for (int k = 0; k < 10; ++k) {
        const zrv::engine::ProfileScope scope(t);
        person->RunInference(frame, "cam", persons);
    }
    const double personPass = 1000 * t.seconds() / 10;
    const double projected =
        shares.weapon * weaponPass + shares.person * personPass + shares.motion * shares.motionMs + shares.ownMs;
    std::printf(
        "realistic %d: weapon pass %.1f ms, person pass %.1f ms; projected plug-in %.1f ms/frame: "
        "weapon %.0f%%, person %.0f%%, motion %.1f%%, own work %.3f%%; motion is %.1f%% and own "
        "work %.3f%% of one weapon pass\n",
        size, weaponPass, personPass, projected, 100 * shares.weapon * weaponPass / projected,
        100 * shares.person * personPass / projected, 100 * shares.motion * shares.motionMs / projected,
        100 * shares.ownMs / projected, 100 * shares.motionMs / weaponPass, 100 * shares.ownMs / weaponPass);
}

// Where the plug-in's time goes: the demo models' run gives how often each pass runs (the
// realistic models, with random weights, never lock on); the realistic models give what
// one pass costs.
void SplitPluginTime(const Models& demo, const std::string& costFolder) {
    std::printf("\nThe plug-in's time per frame, split (1080p demo scene)\n");
    cv::Mat frame;
    const PassShares shares = MeasureDemoShares(demo, frame);
    for (int size : {320, 640}) ProjectRealistic(costFolder, size, shares, frame);
}

// 3. Ratios.
void PrintRatios(const SpeedTable& speed, const RecallTable& recall) {
    std::printf("\nRatios\n");
    for (int size : {320, 640}) {
        for (int scale : {1, 2}) {
            const auto& s = speed[size == 640][scale - 1];
            char what[96];
            std::snprintf(what, sizeof what, "speed (a)/(c), %s, input %d", SceneName(scale), size);
            Ratio(what, s[2], s[0]);
            std::snprintf(what, sizeof what, "speed (a)/(b), %s, input %d", SceneName(scale), size);
            Ratio(what, s[1], s[0]);
        }
    }
    for (int scale : {1, 2}) {
        char what[64];
        std::snprintf(what, sizeof what, "recall (a)/(c), %s", SceneName(scale));
        Ratio(what, recall[scale - 1][0], recall[scale - 1][2]);
        std::snprintf(what, sizeof what, "recall (a)/(b), %s", SceneName(scale));
        Ratio(what, recall[scale - 1][0], recall[scale - 1][1]);
    }
}

// 4. Memory of the plug-in over a long run (the scene looped).
void MeasureMemory(const Models& demo, int longRun) {
    Strategies strategies(demo);
    const DemoScene scene;
    cv::Mat frame;
    long at1000 = 0;
    for (int i = 0; i < longRun; ++i) {
        scene.Render(i % DemoScene::kFrames, frame);
        strategies.PlugIn(frame);
        if (i == 999) at1000 = ResidentKb();
    }
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    std::printf(
        "\nmemory: resident %.1f MB at frame 1000, %.1f MB at frame %d (growth %.1f MB); peak of this "
        "program %.1f MB\n",
        at1000 / 1024.0, ResidentKb() / 1024.0, longRun, (ResidentKb() - at1000) / 1024.0, usage.ru_maxrss / 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s COST-MODEL-FOLDER [LONG-RUN-FRAMES]\n", argv[0]);
        return 2;
    }
    const std::string costFolder = argv[1];
    const int longRun = argc > 2 ? std::atoi(argv[2]) : 10000;
    const Models demo{ZRV_SOURCE_DIR "/models/demo", "train_last", "filter"};
    char host[64] = "";
    gethostname(host, sizeof host - 1);
    std::printf("machine: %s, %ld cores\n\n", host, sysconf(_SC_NPROCESSORS_ONLN));

    const RecallTable recall = CompareOnDemo(demo);
    const SpeedTable speed = CompareSpeed(costFolder);
    SplitPluginTime(demo, costFolder);
    PrintRatios(speed, recall);
    MeasureMemory(demo, longRun);
    return 0;
}
