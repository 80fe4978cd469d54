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
#include "options.h"
#include "output/mqtt_publisher.h"
#include "progress.h"
#include "site_services.h"
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

// The page, clips, web hooks and discovery as the options ask; checked before anything runs.
SiteServiceSettings ServiceSettings(const Options& options) {
    SiteServiceSettings s;
    s.http = options.http;
    if (const char* token = std::getenv("WEAPON_DETECT_HTTP_TOKEN")) s.token = token;
    s.webhooks = options.webhooks;
    s.clips = !options.noClips;
    s.clipBefore = options.clipBefore;
    s.clipAfter = options.clipAfter;
    s.discovery = options.mqttDiscovery;
    s.discoveryPrefix = options.mqttDiscoveryPrefix;
    if (!s.http.empty()) {
        try {
            WebServer::ParseAddress(s.http);
        } catch (const std::invalid_argument& e) {
            throw CLI::ValidationError("--http", e.what());
        }
    }
    for (const std::string& url : s.webhooks) {
        if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0) {
            throw CLI::ValidationError("--webhook", "not an http:// or https:// URL: " + url);
        }
    }
    if (s.discovery && options.mqtt.empty()) throw CLI::ValidationError("--mqtt-discovery", "needs --mqtt");
    return s;
}

int Run(Options& options) {
    if (options.demo || (options.inputs.empty() && options.cameras.empty())) {
        options.demo = true;
        fs::create_directories(options.outputDir);
        const std::string scene = (fs::path(options.outputDir) / "demo_scene.avi").string();
        if (!options.quiet) std::cerr << "Writing the demo scene to " << scene << " ..." << std::endl;
        const std::string truth = (fs::path(options.outputDir) / "demo_scene.gt.txt").string();
        WriteDemoVideo(scene, truth, g_stop);
        if (g_stop) return 130;
        options.inputs = {scene};
        options.groundTruths = {truth};
        if (options.output == "-") options.output = (fs::path(options.outputDir) / "detections.jsonl").string();
        if (options.video.empty()) options.video = (fs::path(options.outputDir) / "annotated.mp4").string();
        if (options.snapshots.empty()) options.snapshots = (fs::path(options.outputDir) / "snapshots").string();
    }
    if (!options.cameraIds.empty() && options.cameraIds.size() != options.inputs.size()) {
        throw CLI::ValidationError("--camera-id", "give one camera id per input");
    }
    if (!options.groundTruths.empty() && options.groundTruths.size() != options.inputs.size()) {
        throw CLI::ValidationError("--ground-truth", "give one ground-truth file per input");
    }
    // The command line's inputs first, then the config file's cameras.
    std::vector<CameraConfig> cameras;
    for (size_t i = 0; i < options.inputs.size(); ++i) {
        CameraConfig camera;
        camera.input = options.inputs[i];
        if (!options.cameraIds.empty()) camera.id = options.cameraIds[i];
        if (!options.groundTruths.empty()) camera.groundTruth = options.groundTruths[i];
        cameras.push_back(std::move(camera));
    }
    cameras.insert(cameras.end(), options.cameras.begin(), options.cameras.end());

    // Camera ids, unique also as file names, and every output path, checked before
    // anything is opened or written.
    std::vector<StreamSettings> settings(cameras.size());
    std::map<std::string, int> seenNames;
    std::vector<std::string> inputs, outputs;
    if (options.output != "-") outputs.push_back(options.output);
    if (!options.snapshots.empty()) outputs.push_back(options.snapshots);
    for (size_t i = 0; i < cameras.size(); ++i) {
        const CameraConfig& camera = cameras[i];
        StreamSettings& s = settings[i];
        inputs.push_back(camera.input);
        s.input = camera.input;
        s.cameraId = camera.id.empty() ? VideoSource::DefaultCameraId(camera.input) : camera.id;
        if (seenNames[FileNameFor(s.cameraId)]++ > 0) s.cameraId += "_" + std::to_string(i + 1);
        s.stride = camera.stride.value_or(options.stride);
        s.maxFrames = options.maxFrames;
        s.snapshotDir = options.snapshots;
        s.quietSeconds = options.quietSeconds;
        s.realtime = options.realtime.value_or(IsLiveInput(camera.input));
        s.live.stallSeconds = options.stallSeconds;
        s.live.maxReconnects = options.maxReconnects;
        s.statsSeconds = options.statsSeconds.value_or(s.realtime ? 60.0 : 0.0);
        s.groundTruth = camera.groundTruth.value_or("");
        if (camera.video) {
            s.videoPath = *camera.video;
        } else if (!options.video.empty()) {
            fs::path video(options.video);
            if (cameras.size() > 1) {
                video.replace_filename(video.stem().string() + "_" + FileNameFor(s.cameraId) +
                                       video.extension().string());
            }
            s.videoPath = video.string();
        }
        if (!s.videoPath.empty()) outputs.push_back(s.videoPath);
    }
    RefuseClashingPaths(inputs, outputs);
    const SiteServiceSettings serviceSettings = ServiceSettings(options);

    const zrv::PluginModule module(options.module);
    const bool routed = module.RouteConsole(ConsoleOnStderr, nullptr);

    std::unique_ptr<MqttPublisher> mqtt;
    if (!options.mqtt.empty()) {
        MqttSettings m;
        try {
            MqttPublisher::ParseAddress(options.mqtt, m.host, m.port);
        } catch (const std::invalid_argument& e) {
            throw CLI::ValidationError("--mqtt", e.what());
        }
        m.topicPrefix = options.mqttTopic;
        m.clientId = options.mqttClientId;
        if (const char* user = std::getenv("WEAPON_DETECT_MQTT_USERNAME")) m.username = user;
        if (const char* password = std::getenv("WEAPON_DETECT_MQTT_PASSWORD")) m.password = password;
        mqtt = std::make_unique<MqttPublisher>(m);
    }

    // Open every file input and initialise every detector before analysing anything; live
    // inputs are opened by their workers, which keep trying.
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::unique_ptr<StreamWorker>> workers;
    JsonLinesWriter records(options.output);
    for (size_t i = 0; i < cameras.size(); ++i) {
        const CameraConfig& camera = cameras[i];
        std::unique_ptr<VideoSource> source;
        if (!settings[i].realtime || !IsLiveInput(camera.input)) source = std::make_unique<VideoSource>(camera.input, g_stop);
        auto detector = module.NewDetector();
        detector->SetLoadEngineOnCreate(options.loadEngineOnCreate);
        std::string labels;
        const std::string models = camera.models.value_or(options.models);
        const float threshold = camera.threshold.value_or(options.threshold);
        const bool loaded = WithPluginConsole(routed, [&] { return detector->Initialize(models, threshold, labels); });
        if (!loaded) throw std::runtime_error("cannot load the models from " + models);
        if (options.optimize && !WithPluginConsole(routed, [&] { return detector->OptimizeModel(true); })) {
            throw std::runtime_error("model optimisation failed");
        }
        workers.push_back(std::make_unique<StreamWorker>(std::move(source), std::move(detector), std::move(settings[i]),
                                                         records, mqtt.get(), start));
    }

    if (!options.snapshots.empty()) fs::create_directories(options.snapshots);

    std::unique_ptr<SiteServices> services;
    if (SiteServices::Wanted(serviceSettings, !options.snapshots.empty(), mqtt != nullptr)) {
        services = std::make_unique<SiteServices>(serviceSettings, workers, mqtt.get());
    }
    if (services && !services->url().empty()) {
        if (options.demo) {
            std::cout << "Page: " << services->url() << std::endl;
        } else if (!options.quiet) {
            std::fprintf(stderr, "weapon-detect: the page is at %s\n", services->url().c_str());
        }
    }

    bool finished = true;
    {
        const ProgressLine progress(workers, !options.quiet && isatty(STDERR_FILENO));
        std::vector<std::thread> threads;
        std::atomic<int> running{static_cast<int>(workers.size())};
        for (size_t i = 0; i < workers.size(); ++i) {
            threads.emplace_back([&, i] {
                // A failure stays with its camera: the others keep running.
                try {
                    workers[i]->Run(g_stop);
                } catch (const std::exception& e) {
                    workers[i]->ReportFailure(e.what());
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
        if (services) services->Discard();
        records.Discard();
        throw InputBlocked();
    }
    bool anyFailed = false;
    for (auto& worker : workers) {
        try {
            worker->CommitOutputs();
        } catch (const std::exception& e) {
            worker->ReportFailure(e.what());
        }
        anyFailed = anyFailed || worker->progress().failed;
    }
    if (services) services->Close();  // the last clips
    // Scores against the ground truth: a table on standard error, a record each.
    bool tableHeader = false;
    for (auto& worker : workers) {
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
    records.Close();

    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    long long frames = 0;
    for (const auto& w : workers) frames += w->progress().analysed;
    if (!options.quiet) {
        std::fprintf(stderr, "%s %lld frames in %.1f s (%.1f fps)\n", g_stop ? "Stopped after" : "Processed",
                     frames, seconds, seconds > 0 ? frames / seconds : 0.0);
        for (const auto& w : workers) {
            const auto& p = w->progress();
            std::fprintf(stderr, "  %s: %lld detections, %lld alarm events, %lld frames dropped%s\n",
                         w->settings().cameraId.c_str(), static_cast<long long>(p.detections),
                         static_cast<long long>(p.events), static_cast<long long>(p.dropped),
                         p.failed ? ", FAILED" : "");
        }
        if (mqtt && mqtt->dropped() > 0) {
            std::fprintf(stderr, "  MQTT: %lld messages dropped from a full queue\n", mqtt->dropped());
        }
    }
    const bool stopped = g_stop;
    if (services && options.keepServing && !services->url().empty()) {
        if (!options.quiet) std::fprintf(stderr, "weapon-detect: serving %s until stopped\n", services->url().c_str());
        while (!g_stop) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    services.reset();
    mqtt.reset();  // says "offline" and delivers what is still queued
    if (options.demo) {
        std::cout << "Detections (JSON Lines): " << records.description() << "\n";
        if (!workers.empty() && !workers[0]->settings().videoPath.empty()) {
            std::cout << "Annotated video: " << workers[0]->settings().videoPath << "\n";
        }
        std::cout << "Event snapshots: " << options.snapshots << std::endl;
        if (!std::cout) throw std::runtime_error("cannot write standard output: " + SystemReason());
    }
    if (anyFailed) return 1;
    return stopped ? 130 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App app{"Runs the weapon-detection plug-in over video files, image sequences (for example\n"
                 "frames/%04d.png), camera indices and stream URLs. Several inputs are several\n"
                 "cameras, each with its own detector on its own thread. Without inputs, runs the\n"
                 "synthetic demo scene with the demo models.",
                 "weapon-detect"};
    AddOptions(app, options);
    app.set_version_flag("--version", std::string("weapon-detect ") + ZRV_VERSION);

    try {
        app.parse(argc, argv);
        if (!options.config.empty()) ApplySiteConfig(app, LoadSiteConfig(options.config), options);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : 2;
    } catch (const ConfigError& e) {
        std::cerr << "weapon-detect: " << e.what() << std::endl;
        return 2;
    }

    // Our own messages say what failed; OpenCV's warnings would only repeat it.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
    if (options.opencvThreads > 0) cv::setNumThreads(options.opencvThreads == 1 ? 0 : options.opencvThreads);
    // The engine reads its thread count once, at its first load; set before any thread starts.
    if (options.engineThreads > 0) setenv("ZRV_ENGINE_THREADS", std::to_string(options.engineThreads).c_str(), 1);
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
