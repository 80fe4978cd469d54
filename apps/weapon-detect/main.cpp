// weapon-detect: runs the weapon-detection plug-in over video files, image sequences,
// cameras and streams, the way a host application drives it.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <thread>

#include <CLI/CLI.hpp>
#include <opencv2/core/utils/logger.hpp>

#include "bounded_read.h"
#include "demo_video.h"
#include "fd_redirect.h"
#include "output/jsonl_writer.h"
#include "output/output_file.h"
#include "output/output_paths.h"
#include "options.h"
#include "output/mqtt_publisher.h"
#include "progress.h"
#include "read_files.h"
#include "secrets.h"
#include "site_services.h"
#include "stream_worker.h"
#include "input/video_source.h"

namespace fs = std::filesystem;
using namespace weapon_detect;

namespace {

std::atomic<bool> g_stop{false};
extern "C" void OnSignal(int) { g_stop = true; }


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

// Waits for the worker threads. After a stop, workers get five seconds: more than a live
// reader's own wait for its input (LiveSource), so that healthy cameras always finish. A
// worker still blocked in its input (a FIFO or a stream that stopped delivering) after
// that is left behind; returns, per worker, whether it was.
std::vector<bool> JoinWorkers(std::vector<std::thread>& threads, const std::vector<std::atomic<bool>>& done) {
    auto stoppedAt = std::chrono::steady_clock::time_point::max();
    auto allDone = [&] {
        for (const auto& d : done) {
            if (!d) return false;
        }
        return true;
    };
    while (!allDone()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (g_stop && stoppedAt == std::chrono::steady_clock::time_point::max()) {
            stoppedAt = std::chrono::steady_clock::now();
        }
        if (std::chrono::steady_clock::now() - stoppedAt > std::chrono::seconds(5)) break;
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

using Workers = std::vector<std::unique_ptr<StreamWorker>>;

// Writes the synthetic scene and its ground truth into the output folder and points the
// options at them and at the demo's outputs. False when a stop came while writing.
bool PrepareDemo(Options& options) {
    if (!options.inputs.empty() || !options.cameras.empty() || !options.groundTruths.empty()) {
        throw CLI::ValidationError("--demo",
                                   "the demo runs its own scene; give it no input, --config or "
                                   "--ground-truth");
    }
    fs::create_directories(options.outputDir);
    const std::string scene = (fs::path(options.outputDir) / "demo_scene.avi").string();
    if (!options.quiet) std::cerr << "Writing the demo scene to " << scene << " ..." << std::endl;
    const std::string truth = (fs::path(options.outputDir) / "demo_scene.gt.txt").string();
    WriteDemoVideo(scene, truth, g_stop);
    if (g_stop) return false;
    options.inputs = {scene};
    options.groundTruths = {truth};
    if (options.output == "-") options.output = (fs::path(options.outputDir) / "detections.jsonl").string();
    if (options.video.empty()) options.video = (fs::path(options.outputDir) / "annotated.mp4").string();
    if (options.snapshots.empty()) options.snapshots = (fs::path(options.outputDir) / "snapshots").string();
    return true;
}

// The cameras to run: the command line's inputs first, then the config file's; throws
// CLI::ValidationError when the per-input options do not fit or there are too many.
std::vector<CameraConfig> CamerasOf(const Options& options) {
    if (!options.cameraIds.empty() && options.cameraIds.size() != options.inputs.size()) {
        throw CLI::ValidationError("--camera-id", "give one camera id per input");
    }
    if (!options.groundTruths.empty() && options.groundTruths.size() != options.inputs.size()) {
        throw CLI::ValidationError("--ground-truth", "give one ground-truth file per input");
    }
    std::vector<CameraConfig> cameras;
    for (size_t i = 0; i < options.inputs.size(); ++i) {
        CameraConfig camera;
        camera.input = options.inputs[i];
        if (!options.cameraIds.empty()) camera.id = options.cameraIds[i];
        if (!options.groundTruths.empty()) camera.groundTruth = options.groundTruths[i];
        cameras.push_back(std::move(camera));
    }
    cameras.insert(cameras.end(), options.cameras.begin(), options.cameras.end());

    if (cameras.size() > kMaxCameras) {
        throw CLI::ValidationError("inputs", "more than " + std::to_string(kMaxCameras) +
                                                 " cameras; run several processes instead");
    }
    for (const auto& id : options.cameraIds) {
        if (id.size() > kMaxCameraIdBytes) {
            throw CLI::ValidationError("--camera-id", "longer than " + std::to_string(kMaxCameraIdBytes) + " bytes");
        }
    }
    return cameras;
}

// The annotated video of one camera: its own, or the run's with the camera's name added
// when there are several cameras; empty for none.
std::string VideoPathFor(const Options& options, const CameraConfig& camera, const std::string& cameraId,
                         size_t cameraCount) {
    if (camera.video) return *camera.video;
    if (options.video.empty()) return {};
    fs::path video(options.video);
    if (cameraCount > 1) {
        video.replace_filename(video.stem().string() + "_" + FileNameFor(cameraId) + video.extension().string());
    }
    return video.string();
}

// Every camera's settings, with camera ids unique also as file names; adds every output
// path to `outputs` (the records and snapshots first, then the videos) for the checks made
// before anything is opened or written.
std::vector<StreamSettings> CameraSettings(const Options& options, const std::vector<CameraConfig>& cameras,
                                           std::vector<std::string>& outputs) {
    std::vector<StreamSettings> settings(cameras.size());
    std::map<std::string, int> seenNames;
    if (options.output != "-") outputs.push_back(options.output);
    if (!options.snapshots.empty()) outputs.push_back(options.snapshots);
    for (size_t i = 0; i < cameras.size(); ++i) {
        const CameraConfig& camera = cameras[i];
        StreamSettings& s = settings[i];
        s.input = camera.input;
        s.cameraId = MaskSecrets(camera.id.empty() ? VideoSource::DefaultCameraId(camera.input) : camera.id);
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
        s.videoPath = VideoPathFor(options, camera, s.cameraId, cameras.size());
        if (!s.videoPath.empty()) outputs.push_back(s.videoPath);
    }
    return settings;
}

// The MQTT publisher the options ask for, or null; throws CLI::ValidationError for a bad
// address or topic prefix.
std::unique_ptr<MqttPublisher> StartMqtt(const Options& options) {
    if (options.mqtt.empty()) return nullptr;
    MqttSettings m;
    try {
        MqttPublisher::ParseAddress(options.mqtt, m.host, m.port);
    } catch (const std::invalid_argument& e) {
        throw CLI::ValidationError("--mqtt", e.what());
    }
    m.topicPrefix = options.mqttTopic;
    const std::string badTopic = MqttPublisher::CheckTopicPrefix(m.topicPrefix);
    if (!badTopic.empty()) throw CLI::ValidationError("--mqtt-topic", "cannot start MQTT topics: " + badTopic);
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
std::vector<bool> RunWorkers(Workers& workers, bool progressLine) {
    const ProgressLine progress(workers, progressLine);
    std::vector<std::thread> threads;
    // Shared with the threads, so that one left behind still has its flag after this returns.
    const auto done = std::make_shared<std::vector<std::atomic<bool>>>(workers.size());
    for (size_t i = 0; i < workers.size(); ++i) {
        threads.emplace_back([&workers, done, i] {
            // A failure stays with its camera: the others keep running.
            try {
                workers[i]->Run(g_stop);
            } catch (const std::exception& e) {
                workers[i]->ReportFailure(e.what());
            }
            (*done)[i] = true;
        });
    }
    return JoinWorkers(threads, *done);
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
            std::fprintf(stderr, "weapon-detect: camera %s was still blocked in its input at the stop; its video "
                                 "is not kept\n", worker->settings().cameraId.c_str());
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
void PrintSummary(const Workers& workers, const MqttPublisher* mqtt, double seconds) {
    long long frames = 0;
    for (const auto& w : workers) frames += w->progress().analysed;
    std::fprintf(stderr, "%s %lld frames in %.1f s (%.1f fps)\n", g_stop ? "Stopped after" : "Processed", frames,
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

// Says "offline" and delivers what is still queued. Alarms that never reached the broker
// make the run a failure, not a success: true when messages were lost (said on standard error).
bool FinishMqtt(MqttPublisher& mqtt) {
    mqtt.Finish();
    const long long lost = mqtt.dropped() + mqtt.rejected() + mqtt.undelivered();
    if (lost == 0) return false;
    std::fprintf(stderr,
                 "weapon-detect: %lld MQTT messages were lost (%lld dropped from a full queue, %lld "
                 "refused, %lld not delivered)\n",
                 lost, static_cast<long long>(mqtt.dropped()), static_cast<long long>(mqtt.rejected()),
                 static_cast<long long>(mqtt.undelivered()));
    return true;
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

int Run(Options& options) {
    if (options.demo && !PrepareDemo(options)) return 130;
    const std::vector<CameraConfig> cameras = CamerasOf(options);
    // Camera ids and every output path, checked before anything is opened or written.
    std::vector<std::string> outputs;
    std::vector<StreamSettings> settings = CameraSettings(options, cameras, outputs);
    ProtectReadFiles(options, cameras);
    RefuseClashingPaths(outputs);
    const SiteServiceSettings serviceSettings = ServiceSettings(options);

    const PluginModule module(options.module);
    const bool routed = module.RouteConsole(ConsoleOnStderr, nullptr);
    const std::unique_ptr<MqttPublisher> mqtt = StartMqtt(options);

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
            source = std::make_unique<VideoSource>(cameras[i].input, g_stop);
        }
        auto detector = LoadDetector(options, cameras[i], module, routed);
        workers.push_back(std::make_unique<StreamWorker>(std::move(source), std::move(detector), std::move(settings[i]),
                                                         records, mqtt.get(), start));
    }
    if (!options.snapshots.empty()) fs::create_directories(options.snapshots);

    std::unique_ptr<SiteServices> services = StartServices(options, serviceSettings, workers, mqtt.get());
    const std::vector<bool> abandoned = RunWorkers(workers, !options.quiet && isatty(STDERR_FILENO));

    bool leftBehind = LiveSource::LeftBehind() > 0;
    bool anyFailed = CommitOutputs(workers, abandoned, leftBehind);
    if (services) services->Close();  // the last clips
    if (WriteScores(workers, abandoned, records)) anyFailed = true;
    records.Close();

    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!options.quiet) PrintSummary(workers, mqtt.get(), seconds);
    const bool stopped = g_stop;
    if (services && options.keepServing && !services->url().empty()) {
        if (!options.quiet) std::fprintf(stderr, "weapon-detect: serving %s until stopped\n", services->url().c_str());
        while (!g_stop) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // A worker left blocked in its input may still report to the services: they then live
    // until the process ends without waiting for it (below).
    if (!leftBehind) services.reset();
    if (mqtt && FinishMqtt(*mqtt)) anyFailed = true;
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

}  // namespace

int main(int argc, char** argv) {
    // A standard stream started closed would hand its number to the first file opened (the
    // JSON Lines output), and messages for standard error would land in it: fill the gap
    // with /dev/null opened for reading only, so that writing there still fails (records
    // for a closed standard output are a write error, never lost silently).
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDONLY) < 0) return 1;
    }
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
        // The demo runs when asked, or when nothing at all is given; options without an
        // input are a mistake, never a reason to run something else.
        if (argc == 1) options.demo = true;
        if (!options.demo && options.inputs.empty() && options.config.empty()) {
            throw CLI::ValidationError("inputs", "no input given (give video files, image sequences, camera indices "
                                                 "or URLs, --config FILE, or --demo)");
        }
        if (!options.config.empty()) ApplySiteConfig(app, LoadSiteConfig(options.config), options);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : 2;
    } catch (const ConfigError& e) {
        std::cerr << "weapon-detect: " << MaskSecrets(e.what()) << std::endl;
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
        std::cerr << "weapon-detect: " << MaskSecrets(e.what()) << std::endl;
        return 2;
    } catch (const OpenInterrupted&) {
        // The thread opening the input may never return: end without waiting for it.
        std::fflush(nullptr);
        std::_Exit(130);
    } catch (const std::exception& e) {
        std::cerr << "weapon-detect: " << MaskSecrets(e.what()) << std::endl;
        return 1;
    }
}
