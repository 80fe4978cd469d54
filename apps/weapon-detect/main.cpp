// weapon-detect: runs the weapon-detection plug-in over video files, image sequences,
// cameras and streams, the way a host application drives it.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <thread>

#include <CLI/CLI.hpp>
#include <opencv2/core/utils/logger.hpp>

#include "demo_video.h"
#include "fd_redirect.h"
#include "jsonl_writer.h"
#include "install_paths.h"
#include "progress.h"
#include "stream_worker.h"
#include "video_source.h"

namespace fs = std::filesystem;
using namespace weapon_detect;

namespace {

std::atomic<bool> g_stop{false};
extern "C" void OnSignal(int) { g_stop = true; }

struct Options {
    std::vector<std::string> inputs;
    std::vector<std::string> cameraIds;
    bool demo = false;
    std::string models = DefaultModelFolder();
    float threshold = 0.5f;
    std::string module = DefaultModulePath();
    bool loadEngineOnCreate = false;
    bool optimize = false;
    int stride = 1;
    long long maxFrames = 0;
    std::string output = "-";
    std::string video;
    std::string snapshots;
    std::string outputDir = "out/demo";
    double quietSeconds = 2.0;
    bool quiet = false;
};

// The plug-in's console lines go to standard error, so that JSON Lines on standard output
// stay clean: through the module's console sink, or for a module without one by sending
// standard output to standard error while it prints.
extern "C" void ConsoleOnStderr(int, const char* line, void*) {
    std::fprintf(stderr, "%s\n", line);
    std::fflush(stderr);
}

template <typename F>
auto WithPluginConsole(bool routed, F&& f) {
    if (routed) return f();
    const ScopedRedirect redirect(STDOUT_FILENO, STDERR_FILENO);
    return f();
}

int Run(Options& options) {
    if (options.demo || options.inputs.empty()) {
        options.demo = true;
        fs::create_directories(options.outputDir);
        const std::string scene = (fs::path(options.outputDir) / "demo_scene.avi").string();
        if (!options.quiet) std::cerr << "Writing the demo scene to " << scene << " ..." << std::endl;
        WriteDemoVideo(scene, g_stop);
        if (g_stop) return 130;
        options.inputs = {scene};
        if (options.output == "-") options.output = (fs::path(options.outputDir) / "detections.jsonl").string();
        if (options.video.empty()) options.video = (fs::path(options.outputDir) / "annotated.mp4").string();
        if (options.snapshots.empty()) options.snapshots = (fs::path(options.outputDir) / "snapshots").string();
    }
    if (!options.cameraIds.empty() && options.cameraIds.size() != options.inputs.size()) {
        throw CLI::ValidationError("--camera-id", "give one camera id per input");
    }

    const zrv::PluginModule module(options.module);
    const bool routed = module.RouteConsole(ConsoleOnStderr, nullptr);

    // Open every input and initialise every detector before writing anything.
    std::vector<std::unique_ptr<StreamWorker>> workers;
    std::map<std::string, int> seenIds;
    JsonLinesWriter records(options.output);
    for (size_t i = 0; i < options.inputs.size(); ++i) {
        auto source = std::make_unique<VideoSource>(options.inputs[i]);
        StreamSettings settings;
        settings.cameraId = options.cameraIds.empty() ? VideoSource::DefaultCameraId(options.inputs[i])
                                                      : options.cameraIds[i];
        if (seenIds[settings.cameraId]++ > 0) settings.cameraId += "_" + std::to_string(i + 1);
        settings.stride = options.stride;
        settings.maxFrames = options.maxFrames;
        settings.snapshotDir = options.snapshots;
        settings.quietSeconds = options.quietSeconds;
        if (!options.video.empty()) {
            fs::path video(options.video);
            if (options.inputs.size() > 1) {
                video.replace_filename(video.stem().string() + "_" + settings.cameraId + video.extension().string());
            }
            settings.videoPath = video.string();
        }

        auto detector = module.NewDetector();
        detector->SetLoadEngineOnCreate(options.loadEngineOnCreate);
        std::string labels;
        const bool loaded = WithPluginConsole(
            routed, [&] { return detector->Initialize(options.models, options.threshold, labels); });
        if (!loaded) throw std::runtime_error("cannot load the models from " + options.models);
        if (options.optimize && !WithPluginConsole(routed, [&] { return detector->OptimizeModel(true); })) {
            throw std::runtime_error("model optimisation failed");
        }
        workers.push_back(std::make_unique<StreamWorker>(std::move(source), std::move(detector),
                                                         std::move(settings), records));
    }

    if (!options.snapshots.empty()) fs::create_directories(options.snapshots);

    const auto start = std::chrono::steady_clock::now();
    std::vector<std::string> errors(workers.size());
    {
        const ProgressLine progress(workers, !options.quiet && isatty(STDERR_FILENO));
        std::vector<std::thread> threads;
        for (size_t i = 0; i < workers.size(); ++i) {
            threads.emplace_back([&, i] {
                try {
                    workers[i]->Run(g_stop);
                } catch (const std::exception& e) {
                    errors[i] = e.what();
                    g_stop = true;
                }
            });
        }
        for (auto& t : threads) t.join();
    }
    for (const auto& error : errors) {
        if (!error.empty()) throw std::runtime_error(error);
    }
    for (auto& worker : workers) worker->CommitOutputs();
    records.Close();

    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    long long frames = 0;
    for (const auto& w : workers) frames += w->progress().analysed;
    if (!options.quiet) {
        std::fprintf(stderr, "%s %lld frames in %.1f s (%.1f fps)\n", g_stop ? "Stopped after" : "Processed",
                     frames, seconds, seconds > 0 ? frames / seconds : 0.0);
        for (const auto& w : workers) {
            std::fprintf(stderr, "  %s: %lld detections, %lld alarm events\n", w->settings().cameraId.c_str(),
                         static_cast<long long>(w->progress().detections),
                         static_cast<long long>(w->progress().events));
        }
    }
    if (options.demo) {
        std::cout << "Detections (JSON Lines): " << records.description() << "\n";
        if (!workers.empty() && !workers[0]->settings().videoPath.empty()) {
            std::cout << "Annotated video: " << workers[0]->settings().videoPath << "\n";
        }
        std::cout << "Event snapshots: " << options.snapshots << std::endl;
    }
    return g_stop ? 130 : 0;
}

}  // namespace

// CLI11's range checks let NaN through (every comparison with it is false).
CLI::Validator FiniteIn(double low, double high) {
    return CLI::Validator(
        [low, high](std::string& text) -> std::string {
            double value = 0.0;
            if (!CLI::detail::lexical_cast(text, value) || !std::isfinite(value) || value < low || value > high) {
                return "Value " + text + " is not a number in [" + CLI::detail::to_string(low) + " - " +
                       CLI::detail::to_string(high) + "]";
            }
            return {};
        },
        "NUMBER in [" + CLI::detail::to_string(low) + " - " + CLI::detail::to_string(high) + "]");
}

int main(int argc, char** argv) {
    Options options;
    CLI::App app{"Runs the weapon-detection plug-in over video files, image sequences (for example\n"
                 "frames/%04d.png), camera indices and stream URLs. Several inputs are several\n"
                 "cameras, each with its own detector on its own thread. Without inputs, runs the\n"
                 "synthetic demo scene with the demo models.",
                 "weapon-detect"};
    app.add_option("inputs", options.inputs, "Video files, image sequences, camera indices or URLs");
    app.add_flag("--demo", options.demo, "Run the synthetic demo scene (also the default without inputs)");
    app.add_option("--camera-id", options.cameraIds,
                   "Camera id per input, in input order (default: derived from the input)");
    app.add_option("-m,--models", options.models, "Model folder")->capture_default_str();
    app.add_option("-t,--threshold", options.threshold, "Detection score threshold")
        ->check(FiniteIn(0.0, 1.0))
        ->capture_default_str();
    app.add_option("--module", options.module, "Plug-in module to load")->capture_default_str();
    app.add_flag("--load-engine-on-create", options.loadEngineOnCreate,
                 "Ask the engine to prepare the models while loading");
    app.add_flag("--optimize", options.optimize, "Optimise the models after loading");
    app.add_option("--stride", options.stride, "Analyse every N-th frame")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    app.add_option("--max-frames", options.maxFrames, "Read at most N frames per input (0: all)")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    app.add_option("-o,--output", options.output,
                   "JSON Lines output, - for standard output (demo: <output-dir>/detections.jsonl)")
        ->capture_default_str();
    app.add_option("--video", options.video,
                   "Annotated video to write (.mp4 or .avi; with several inputs the camera id is "
                   "added to the name; default: none, demo: <output-dir>/annotated.mp4)");
    app.add_option("--snapshots", options.snapshots,
                   "Folder for the JPEG snapshot of every alarm event (default: none, demo: "
                   "<output-dir>/snapshots)");
    app.add_option("--output-dir", options.outputDir, "Folder for the demo's outputs")->capture_default_str();
    app.add_option("--quiet-time", options.quietSeconds,
                   "Seconds without a detection that end an alarm event")
        ->check(FiniteIn(0.0, 86400.0))
        ->capture_default_str();
    app.add_flag("-q,--quiet", options.quiet, "No progress line and no summary");
    app.set_version_flag("--version", std::string("weapon-detect ") + ZRV_VERSION);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }

    // Our own messages say what failed; OpenCV's warnings would only repeat it.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    try {
        return Run(options);
    } catch (const CLI::ValidationError& e) {
        std::cerr << "weapon-detect: " << e.what() << std::endl;
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "weapon-detect: " << e.what() << std::endl;
        return 1;
    }
}
