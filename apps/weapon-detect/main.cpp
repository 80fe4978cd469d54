// weapon-detect: runs the weapon-detection plug-in over video files, image sequences,
// cameras and streams, the way a host application drives it.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <thread>

#include <CLI/CLI.hpp>
#include <opencv2/core/utils/logger.hpp>

#include "demo_video.h"
#include "fd_redirect.h"
#include "output/jsonl_writer.h"
#include "output/output_file.h"
#include "install_paths.h"
#include "progress.h"
#include "stream_worker.h"
#include "input/video_source.h"

namespace fs = std::filesystem;
using namespace weapon_detect;

namespace {

std::atomic<bool> g_stop{false};
extern "C" void OnSignal(int) { g_stop = true; }

// A stop came while a thread was blocked in an input that may never return.
struct InputBlocked : std::runtime_error {
    InputBlocked() : std::runtime_error("stopped while an input was blocked; its outputs are not kept") {}
};

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
    int opencvThreads = -1;
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

// Output paths must not name an input or each other: writing one would destroy the input
// or mix two outputs into one corrupt file.
void RefuseClashingPaths(const std::vector<std::string>& inputs, const std::vector<std::string>& outputs) {
    auto same = [](const std::string& a, const std::string& b) {
        std::error_code error;
        if (fs::equivalent(a, b, error)) return true;
        return fs::weakly_canonical(a, error) == fs::weakly_canonical(b, error);
    };
    for (size_t i = 0; i < outputs.size(); ++i) {
        for (const auto& input : inputs) {
            if (same(outputs[i], input)) throw std::runtime_error("output " + outputs[i] + " is the input " + input);
        }
        for (size_t k = 0; k < i; ++k) {
            if (same(outputs[i], outputs[k])) throw std::runtime_error("output " + outputs[i] + " is given twice");
        }
    }
}

// Waits for the worker threads. After a stop, a worker blocked in its input (a FIFO or a
// stream that stopped delivering) gets two seconds; true when every worker finished.
bool JoinWorkers(std::vector<std::thread>& threads, std::atomic<int>& running) {
    auto stoppedAt = std::chrono::steady_clock::time_point::max();
    while (running > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (g_stop && stoppedAt == std::chrono::steady_clock::time_point::max()) {
            stoppedAt = std::chrono::steady_clock::now();
        }
        if (std::chrono::steady_clock::now() - stoppedAt > std::chrono::seconds(2)) {
            for (auto& t : threads) t.detach();
            return false;
        }
    }
    for (auto& t : threads) t.join();
    return true;
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

    // Camera ids, unique also as file names, and every output path, checked before
    // anything is opened or written.
    std::vector<StreamSettings> settings(options.inputs.size());
    std::map<std::string, int> seenNames;
    std::vector<std::string> outputs;
    if (options.output != "-") outputs.push_back(options.output);
    if (!options.snapshots.empty()) outputs.push_back(options.snapshots);
    for (size_t i = 0; i < options.inputs.size(); ++i) {
        StreamSettings& s = settings[i];
        s.cameraId = options.cameraIds.empty() ? VideoSource::DefaultCameraId(options.inputs[i]) : options.cameraIds[i];
        if (seenNames[FileNameFor(s.cameraId)]++ > 0) s.cameraId += "_" + std::to_string(i + 1);
        s.stride = options.stride;
        s.maxFrames = options.maxFrames;
        s.snapshotDir = options.snapshots;
        s.quietSeconds = options.quietSeconds;
        if (!options.video.empty()) {
            fs::path video(options.video);
            if (options.inputs.size() > 1) {
                video.replace_filename(video.stem().string() + "_" + FileNameFor(s.cameraId) +
                                       video.extension().string());
            }
            s.videoPath = video.string();
            outputs.push_back(s.videoPath);
        }
    }
    RefuseClashingPaths(options.inputs, outputs);

    const zrv::PluginModule module(options.module);
    const bool routed = module.RouteConsole(ConsoleOnStderr, nullptr);

    // Open every input and initialise every detector before writing anything.
    std::vector<std::unique_ptr<StreamWorker>> workers;
    JsonLinesWriter records(options.output);
    for (size_t i = 0; i < options.inputs.size(); ++i) {
        auto source = std::make_unique<VideoSource>(options.inputs[i], g_stop);
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
                                                         std::move(settings[i]), records));
    }

    if (!options.snapshots.empty()) fs::create_directories(options.snapshots);

    const auto start = std::chrono::steady_clock::now();
    std::vector<std::string> errors(workers.size());
    bool finished = true;
    {
        const ProgressLine progress(workers, !options.quiet && isatty(STDERR_FILENO));
        std::vector<std::thread> threads;
        std::atomic<int> running{static_cast<int>(workers.size())};
        for (size_t i = 0; i < workers.size(); ++i) {
            threads.emplace_back([&, i] {
                try {
                    workers[i]->Run(g_stop);
                } catch (const std::exception& e) {
                    errors[i] = e.what();
                    g_stop = true;
                }
                --running;
            });
        }
        finished = JoinWorkers(threads, running);
    }
    if (!finished) {
        // A worker is still blocked in its input and holds its outputs: nothing can be
        // committed safely. Remove every part file and end without waiting for it.
        for (auto& worker : workers) worker->DiscardOutputs();
        records.Discard();
        throw InputBlocked();
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
        if (!std::cout) throw std::runtime_error("cannot write standard output: " + SystemReason());
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
    app.add_option("--opencv-threads", options.opencvThreads,
                   "Worker threads of OpenCV's parallel loops, shared by all cameras (default: OpenCV's "
                   "choice; 1 runs them on the calling thread)")
        ->check(CLI::Range(1, 1024));
    app.set_version_flag("--version", std::string("weapon-detect ") + ZRV_VERSION);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }

    // Our own messages say what failed; OpenCV's warnings would only repeat it.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
    if (options.opencvThreads > 0) cv::setNumThreads(options.opencvThreads == 1 ? 0 : options.opencvThreads);
    // Ctrl-C, SIGTERM (service managers) and SIGHUP (a closed terminal) stop cleanly; a
    // closed pipe on standard output is a write error, not a silent death.
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGHUP, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);
    // The video back end's own multi-line reports would only repeat our one message.
    setenv("OPENCV_FFMPEG_LOGLEVEL", "-8", 0);
    try {
        return Run(options);
    } catch (const CLI::ValidationError& e) {
        std::cerr << "weapon-detect: " << e.what() << std::endl;
        return 2;
    } catch (const OpenInterrupted&) {
        // The thread opening the input may never return: end without waiting for it.
        std::fflush(nullptr);
        std::_Exit(130);
    } catch (const InputBlocked& e) {
        std::cerr << "weapon-detect: " << e.what() << std::endl;
        std::fflush(nullptr);
        std::_Exit(130);
    } catch (const std::exception& e) {
        std::cerr << "weapon-detect: " << e.what() << std::endl;
        return 1;
    }
}
