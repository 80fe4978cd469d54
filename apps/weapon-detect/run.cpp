#include "run.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "addresses.h"
#include "bounded_read.h"
#include "delivery.h"
#include "demo_video.h"
#include "fd_redirect.h"
#include "input/video_source.h"
#include "output/jsonl_writer.h"
#include "output/mqtt_publisher.h"
#include "output/output_file.h"
#include "output/output_paths.h"
#include "progress.h"
#include "read_files.h"
#include "run_plan.h"
#include "site_services.h"
#include "stream_worker.h"
#include "thread_name.h"

namespace fs = std::filesystem;

namespace weapon_detect {

namespace {

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

// Waits for the worker threads, sleeping on `stop` (each worker wakes it as it ends). After
// a stop, workers get five seconds: more than a live reader's own wait for its input
// (LiveSource), so that healthy cameras always finish. A worker still blocked in its input
// (a FIFO or a stream that stopped delivering) after that is left behind; returns, per
// worker, whether it was.
std::vector<bool> JoinWorkers(std::vector<std::thread>& threads, const std::vector<std::atomic<bool>>& done,
                              StopSignal& stop) {
    using Clock = std::chrono::steady_clock;
    auto giveUpAt = Clock::time_point::max();
    auto allDone = [&] {
        for (const auto& d : done) {
            if (!d) return false;
        }
        return true;
    };
    while (!allDone()) {
        if (stop.raised() && giveUpAt == Clock::time_point::max()) giveUpAt = Clock::now() + std::chrono::seconds(5);
        if (!stop.WaitUntil(giveUpAt)) break;
    }
    std::vector<bool> abandoned(threads.size(), false);
    for (size_t i = 0; i < threads.size(); ++i) {
        if (done[i]) {
            threads[i].join();
        } else {
            threads[i].detach();
            abandoned[i] = true;
        }
    }
    return abandoned;
}

// The engine reads the model and class files of a folder as they are: anything but regular
// files of a sane size (a FIFO would block it for good, /dev/zero fill the memory) is
// refused first.
void CheckModelFolder(const std::string& folder) {
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::string extension = it->path().extension().string();
        try {
            if (extension == ".names") CheckRegularFile(it->path().string(), 1u << 20);
            if (extension == ".onnx") CheckRegularFile(it->path().string(), size_t{4} << 30);
        } catch (const UnreadableFile& e) {
            throw std::runtime_error("cannot load the models from " + folder + ": " + e.what());
        }
    }
}

using Workers = std::vector<std::unique_ptr<StreamWorker>>;

// Writes the synthetic scene and its ground truth into the output folder and points the
// options at them and at the demo's outputs. False when a stop came while writing.
bool PrepareDemo(Options& options, const StopSignal& stop) {
    if (!options.inputs.empty() || !options.cameras.empty() || !options.groundTruths.empty()) {
        throw CLI::ValidationError("--demo",
                                   "the demo runs its own scene; give it no input, --config or "
                                   "--ground-truth");
    }
    fs::create_directories(options.outputDir);
    const std::string scene = (fs::path(options.outputDir) / "demo_scene.avi").string();
    if (!options.quiet) std::cerr << "Writing the demo scene to " << scene << " ..." << std::endl;
    const std::string truth = (fs::path(options.outputDir) / "demo_scene.gt.txt").string();
    WriteDemoVideo(scene, truth, stop.flag());
    if (stop.raised()) return false;
    options.inputs = {scene};
    options.groundTruths = {truth};
    if (options.output == "-") options.output = (fs::path(options.outputDir) / "detections.jsonl").string();
    if (options.video.empty()) options.video = (fs::path(options.outputDir) / "annotated.mp4").string();
    if (options.snapshots.empty()) options.snapshots = (fs::path(options.outputDir) / "snapshots").string();
    return true;
}

// The MQTT publisher the options ask for, or null; throws CLI::ValidationError for a bad
// address.
std::unique_ptr<MqttPublisher> StartMqtt(const Options& options, DeliveryHealth& health) {
    if (options.mqtt.empty()) return nullptr;
    MqttSettings m;
    m.health = &health;
    try {
        const HostPort broker = ParseMqttAddress(options.mqtt);
        m.host = broker.host;
        m.port = broker.port;
    } catch (const std::invalid_argument& e) {
        throw CLI::ValidationError("--mqtt", e.what());
    }
    m.topicPrefix = options.mqttTopic;  // checked where it was read (the settings table)
    m.clientId = options.mqttClientId;
    if (const char* user = std::getenv("WEAPON_DETECT_MQTT_USERNAME")) m.username = user;
    if (const char* password = std::getenv("WEAPON_DETECT_MQTT_PASSWORD")) m.password = password;
    return std::make_unique<MqttPublisher>(m);
}

// A new detector with a camera's models loaded (and optimised when asked); throws when
// they cannot be used.
PluginModule::Detector LoadDetector(const Options& options, const CameraConfig& camera, const PluginModule& module,
                                    bool routed) {
    auto detector = module.NewDetector();
    detector->SetLoadEngineOnCreate(options.loadEngineOnCreate);
    std::string labels;
    const std::string models = camera.models.value_or(options.models);
    const float threshold = camera.threshold.value_or(options.threshold);
    CheckModelFolder(models);
    const bool loaded = WithPluginConsole(routed, [&] { return detector->Initialize(models, threshold, labels); });
    if (!loaded) throw std::runtime_error("cannot load the models from " + models);
    if (options.optimize && !WithPluginConsole(routed, [&] { return detector->OptimizeModel(true); })) {
        throw std::runtime_error("model optimisation failed");
    }
    return detector;
}

// The page, clips, web hooks and discovery when any is wanted, or null; says where the
// page is.
std::unique_ptr<SiteServices> StartServices(const Options& options, const SiteServiceSettings& serviceSettings,
                                            const Workers& workers, MqttPublisher* mqtt) {
    std::unique_ptr<SiteServices> services;
    if (SiteServices::Wanted(serviceSettings, !options.snapshots.empty(), mqtt != nullptr)) {
        services = std::make_unique<SiteServices>(serviceSettings, workers, mqtt);
    }
    if (services && !services->url().empty()) {
        if (options.demo) {
            std::cout << "Page: " << services->url() << std::endl;
        } else if (!options.quiet) {
            std::fprintf(stderr, "weapon-detect: the page is at %s\n", services->url().c_str());
        }
    }
    return services;
}

// Runs every worker on a thread of its own under the progress line and waits for them
// (JoinWorkers); returns, per worker, whether it was left behind still running.
std::vector<bool> RunWorkers(Workers& workers, bool progressLine, StopSignal& stop) {
    const ProgressLine progress(workers, progressLine);
    std::vector<std::thread> threads;
    // Shared with the threads, so that one left behind still has its flag after this returns.
    const auto done = std::make_shared<std::vector<std::atomic<bool>>>(workers.size());
    for (size_t i = 0; i < workers.size(); ++i) {
        threads.emplace_back([&workers, &stop, done, i] {
            NameThisThread("wd-cam-" + std::to_string(i));
            // A failure stays with its camera: the others keep running.
            try {
                workers[i]->Run(stop.flag());
            } catch (const std::exception& e) {
                workers[i]->ReportFailure(e.what());
            }
            (*done)[i] = true;
            stop.Wake();
        });
    }
    return JoinWorkers(threads, *done, stop);
}

// Commits the outputs of every worker that ended, gives up those of the ones left behind
// (setting `leftBehind`); true when a camera failed or had an error.
bool CommitOutputs(const Workers& workers, const std::vector<bool>& abandoned, bool& leftBehind) {
    bool anyFailed = false;
    for (size_t i = 0; i < workers.size(); ++i) {
        auto& worker = workers[i];
        if (abandoned[i]) {
            // Still blocked in its input and holding its outputs: only this camera's own
            // outputs are given up; every other camera's are kept.
            leftBehind = true;
            std::fprintf(stderr,
                         "weapon-detect: camera %s was still blocked in its input at the stop; its video "
                         "is not kept\n",
                         worker->settings().cameraId.c_str());
            worker->DiscardOutputs();
            continue;
        }
        try {
            worker->CommitOutputs();
        } catch (const std::exception& e) {
            worker->ReportFailure(e.what());
        }
        anyFailed = anyFailed || worker->progress().failed || worker->progress().errors > 0;
    }
    return anyFailed;
}

// Scores against the ground truth: a table on standard error, a record each. True when a
// ground truth did not fit its video.
bool WriteScores(const Workers& workers, const std::vector<bool>& abandoned, JsonLinesWriter& records) {
    bool anyFailed = false;
    bool tableHeader = false;
    for (size_t i = 0; i < workers.size(); ++i) {
        if (abandoned[i]) continue;
        auto& worker = workers[i];
        std::optional<Score> score;
        try {
            score = worker->FinishScore();
        } catch (const GroundTruthError& e) {
            worker->ReportFailure(e.what());
            anyFailed = true;
        }
        if (!score) continue;
        records.Write(Scorer::Record(worker->settings().cameraId, *score));
        if (!tableHeader) std::fprintf(stderr, "%s\n", Scorer::TableHeader().c_str());
        tableHeader = true;
        std::fprintf(stderr, "%s\n", Scorer::TableRow(worker->settings().cameraId, *score).c_str());
    }
    return anyFailed;
}

// Frames, rate and each camera's counts on standard error.
void PrintSummary(const Workers& workers, const MqttPublisher* mqtt, double seconds, bool stopped) {
    long long frames = 0;
    for (const auto& w : workers) frames += w->progress().analysed;
    std::fprintf(stderr, "%s %lld frames in %.1f s (%.1f fps)\n", stopped ? "Stopped after" : "Processed", frames,
                 seconds, seconds > 0 ? frames / seconds : 0.0);
    for (const auto& w : workers) {
        const auto& p = w->progress();
        std::fprintf(stderr, "  %s: %lld detections, %lld alarm events, %lld frames dropped%s%s\n",
                     w->settings().cameraId.c_str(), static_cast<long long>(p.detections),
                     static_cast<long long>(p.events), static_cast<long long>(p.dropped),
                     p.errors > 0 ? ", errors (see above)" : "", p.failed ? ", FAILED" : "");
    }
    if (mqtt && mqtt->dropped() > 0) {
        std::fprintf(stderr, "  MQTT: %lld messages dropped from a full queue\n", mqtt->dropped());
    }
}

// Where the demo's outputs are, on standard output.
void PrintDemoOutputs(const Options& options, const Workers& workers, const JsonLinesWriter& records) {
    std::cout << "Detections (JSON Lines): " << records.description() << "\n";
    if (!workers.empty() && !workers[0]->settings().videoPath.empty()) {
        std::cout << "Annotated video: " << workers[0]->settings().videoPath << "\n";
    }
    std::cout << "Event snapshots: " << options.snapshots << std::endl;
    if (!std::cout) throw std::runtime_error("cannot write standard output: " + SystemReason());
}

}  // namespace

int Run(Options& options, StopSignal& stop) {
    if (options.demo && !PrepareDemo(options, stop)) return 130;
    const std::vector<CameraConfig> cameras = CamerasOf(options);
    // Camera ids and every output path, checked before anything is opened or written.
    std::vector<std::string> outputs;
    std::vector<StreamSettings> settings = CameraSettings(options, cameras, outputs);
    ProtectReadFiles(options, cameras);
    RefuseClashingPaths(outputs);
    SiteServiceSettings serviceSettings = ServiceSettings(options);
    // Before the senders that report to it, after them the services that read it.
    DeliveryHealth health;
    serviceSettings.health = &health;

    const PluginModule module(options.module);
    const bool routed = module.RouteConsole(ConsoleOnStderr, nullptr);
    const std::unique_ptr<MqttPublisher> mqtt = StartMqtt(options, health);

    // Open every file input and initialise every detector before analysing anything; live
    // inputs are opened by their workers, which keep trying.
    const auto start = std::chrono::steady_clock::now();
    Workers workers;
    // A service (a config file) appends to its alarm log; a run on the command line writes
    // its output whole, replacing an earlier one.
    JsonLinesWriter records(options.output, options.append.value_or(!options.config.empty()));
    for (size_t i = 0; i < cameras.size(); ++i) {
        std::unique_ptr<VideoSource> source;
        if (!settings[i].realtime || !IsLiveInput(cameras[i].input)) {
            source = std::make_unique<VideoSource>(cameras[i].input, stop.flag());
        }
        auto detector = LoadDetector(options, cameras[i], module, routed);
        workers.push_back(std::make_unique<StreamWorker>(std::move(source), std::move(detector), std::move(settings[i]),
                                                         records, mqtt.get(), start));
    }
    if (!options.snapshots.empty()) MakeSnapshotFolder(options.snapshots);

    std::unique_ptr<SiteServices> services = StartServices(options, serviceSettings, workers, mqtt.get());
    const std::vector<bool> abandoned = RunWorkers(workers, !options.quiet && isatty(STDERR_FILENO), stop);

    bool leftBehind = LiveSource::LeftBehind() > 0;
    bool anyFailed = CommitOutputs(workers, abandoned, leftBehind);
    // The last clips, within a bound after a stop; a lost clip is a failure.
    if (services && !services->Close(stop.flag())) leftBehind = true;
    if (services && services->clipsLost() > 0) {
        std::fprintf(stderr, "weapon-detect: event clips lost: %lld (see above)\n", services->clipsLost());
        anyFailed = true;
    }
    if (services && services->events().storeFailures() > 0) {
        std::fprintf(stderr, "weapon-detect: event history writes failed: %lld (see above)\n",
                     services->events().storeFailures());
        anyFailed = true;
    }
    if (WriteScores(workers, abandoned, records)) anyFailed = true;
    records.Close();

    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const bool stopped = stop.raised();
    if (!options.quiet) PrintSummary(workers, mqtt.get(), seconds, stopped);
    // A stop during the run ends it here: it is not said to go on serving.
    if (services && options.keepServing && !services->url().empty() && !stop.raised()) {
        if (!options.quiet) std::fprintf(stderr, "weapon-detect: serving %s until stopped\n", services->url().c_str());
        while (!stop.raised()) stop.WaitUntil(std::chrono::steady_clock::time_point::max());
    }
    // Alarms that never reached a web hook or the broker make the run a failure.
    if (FinishDeliveries(services ? services->webhooks() : nullptr, mqtt.get(), stop, options.deliverySeconds)) {
        anyFailed = true;
    }
    // A worker left blocked in its input may still report to the services: they then live
    // until the process ends without waiting for it (below).
    if (!leftBehind) services.reset();
    const int status = anyFailed ? 1 : stopped ? 130 : 0;
    if (options.demo) PrintDemoOutputs(options, workers, records);
    if (leftBehind) {
        // A thread still blocked in an input may never return: end without waiting for it
        // (everything else is closed and committed by now).
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}

}  // namespace weapon_detect
