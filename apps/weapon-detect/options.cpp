#include "options.h"

#include <cmath>

#include "install_paths.h"

namespace weapon_detect {
namespace {

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

template <typename T, typename U>
void Fill(const CLI::App& app, const char* option, T& target, const std::optional<U>& fromFile) {
    if (fromFile && app.count(option) == 0) target = *fromFile;
}

void AddServiceOptions(CLI::App& app, Options& options) {
    app.add_option("--http", options.http,
                   "Serve the page, its JSON API and /metrics on ADDRESS:PORT (PORT alone: 127.0.0.1; "
                   "token from WEAPON_DETECT_HTTP_TOKEN)");
    app.add_flag("--keep-serving", options.keepServing,
                 "With --http: keep serving the page after the inputs end, until stopped");
    app.add_flag("--no-clips", options.noClips, "Write no event clips beside the snapshots");
    app.add_option("--clip-before", options.clipBefore, "Seconds of video before an event's start in its clip")
        ->check(FiniteIn(0.0, 60.0))
        ->capture_default_str();
    app.add_option("--clip-after", options.clipAfter, "Seconds of video after an event's end in its clip")
        ->check(FiniteIn(0.0, 60.0))
        ->capture_default_str();
    app.add_option("--webhook", options.webhooks, "POST every event (start, update, end) as JSON to this URL "
                   "(repeatable)")
        ->allow_extra_args(false);
    app.add_flag("--mqtt-discovery", options.mqttDiscovery,
                 "Publish retained MQTT discovery configs for home-automation hubs (a weapon sensor and the "
                 "last snapshot per camera)");
    app.add_option("--mqtt-discovery-prefix", options.mqttDiscoveryPrefix, "Topic prefix of the discovery configs")
        ->capture_default_str();
}

}  // namespace

void AddOptions(CLI::App& app, Options& options) {
    options.models = DefaultModelFolder();
    options.module = DefaultModulePath();
    app.add_option("inputs", options.inputs, "Video files, image sequences, camera indices or URLs");
    app.add_option("--ground-truth", options.groundTruths,
                   "Labelled boxes per input, in input order (MOTChallenge text: frame,id,x,y,w,h,conf,class,"
                   "visibility; frames from 1): prints precision, recall, false alarms per hour, matched "
                   "events and delays, and writes an evaluation record; one file per occurrence")
        ->allow_extra_args(false)
        ->check(CLI::ExistingFile);
    app.add_option("--config", options.config,
                   "Site config file (YAML): cameras, outputs, MQTT; options given here override it")
        ->check(CLI::ExistingFile);
    app.add_flag("--demo", options.demo,
                 "Run the synthetic demo scene (also what runs without any argument); takes no input");
    app.add_option("--camera-id", options.cameraIds,
                   "Camera id per input, in input order, one per occurrence (default: derived from the input)")
        ->allow_extra_args(false);
    app.add_option("-m,--models", options.models, "Model folder")->capture_default_str();
    app.add_option("-t,--threshold", options.threshold, "Detection score threshold")
        ->check(FiniteIn(0.0, 1.0))
        ->capture_default_str();
    app.add_option("--module", options.module, "Plug-in module to load")->capture_default_str();
    app.add_flag("--load-engine-on-create", options.loadEngineOnCreate,
                 "Ask the engine to prepare the models while loading");
    app.add_flag("--optimize", options.optimize, "Optimise the models after loading");
    app.add_option("--stride", options.stride, "Analyse every N-th frame")
        ->check(CLI::Range(1, 100000))
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
    app.add_option("--quiet-time", options.quietSeconds, "Seconds without a detection that end an alarm event")
        ->check(FiniteIn(0.0, 86400.0))
        ->capture_default_str();
    app.add_flag("-q,--quiet", options.quiet, "No progress line and no summary");
    app.add_option("--opencv-threads", options.opencvThreads,
                   "Worker threads of OpenCV's parallel loops, shared by all cameras (default: OpenCV's "
                   "choice; 1 runs them on the calling thread)")
        ->check(CLI::Range(1, 1024));
    app.add_option("--engine-threads", options.engineThreads,
                   "CPU threads of the inference runtime, shared by all cameras and both models; the "
                   "same as ZRV_ENGINE_THREADS for other hosts (default: every physical core)")
        ->check(CLI::Range(1, 1024));
    auto* realtime = app.add_flag_callback(
        "--realtime", [&options] { options.realtime = true; },
        "Analyse only the newest frame, counting the others as dropped, and reconnect when the input "
        "stops (default for camera indices and URLs; a file is then played at its own frame rate)");
    auto* notRealtime = app.add_flag_callback(
        "--no-realtime", [&options] { options.realtime = false; },
        "Analyse every frame in order (default for files and image sequences)");
    realtime->excludes(notRealtime);
    auto* append = app.add_flag_callback(
        "--append", [&options] { options.append = true; },
        "Add the records to the end of an existing -o file, written as they come (default for --config "
        "runs: a service's records are its alarm log)");
    auto* replace = app.add_flag_callback(
        "--no-append", [&options] { options.append = false; },
        "Replace the -o file when the run ends, with a part file meanwhile (default without --config)");
    append->excludes(replace);
    app.add_option("--stall-timeout", options.stallSeconds,
                   "Seconds without a frame after which a live input is reopened")
        ->check(FiniteIn(0.5, 3600.0))
        ->capture_default_str();
    app.add_option("--max-reconnects", options.maxReconnects,
                   "Failed reconnections in a row after which a live input gives up (-1: never)")
        ->check(CLI::Range(-1, 1000000))
        ->capture_default_str();
    app.add_option("--stats-interval", options.statsSeconds,
                   "Seconds between stats records per camera (0: none; default: 60 for live inputs, none "
                   "for files)")
        ->check(FiniteIn(0.0, 86400.0));
    app.add_option("--mqtt", options.mqtt,
                   "MQTT broker HOST[:PORT] for events, snapshots and states (user and password from "
                   "WEAPON_DETECT_MQTT_USERNAME and WEAPON_DETECT_MQTT_PASSWORD)");
    app.add_option("--mqtt-topic", options.mqttTopic, "Prefix of the MQTT topics")->capture_default_str();
    app.add_option("--mqtt-client-id", options.mqttClientId,
                   "MQTT client id (default: weapon-detect-<host>-<process id>)");
    AddServiceOptions(app, options);
}

void ApplySiteConfig(const CLI::App& app, const SiteConfig& site, Options& options) {
    Fill(app, "--output", options.output, site.output);
    Fill(app, "--snapshots", options.snapshots, site.snapshots);
    Fill(app, "--models", options.models, site.models);
    Fill(app, "--module", options.module, site.module);
    Fill(app, "--threshold", options.threshold, site.threshold);
    Fill(app, "--stride", options.stride, site.stride);
    Fill(app, "--quiet-time", options.quietSeconds, site.quietTime);
    Fill(app, "--stall-timeout", options.stallSeconds, site.stallTimeout);
    Fill(app, "--max-reconnects", options.maxReconnects, site.maxReconnects);
    Fill(app, "--mqtt", options.mqtt, site.mqtt);
    Fill(app, "--mqtt-topic", options.mqttTopic, site.mqttTopic);
    Fill(app, "--mqtt-client-id", options.mqttClientId, site.mqttClientId);
    if (site.statsInterval && app.count("--stats-interval") == 0) options.statsSeconds = *site.statsInterval;
    if (site.append && app.count("--append") == 0 && app.count("--no-append") == 0) options.append = *site.append;
    if (site.realtime && app.count("--realtime") == 0 && app.count("--no-realtime") == 0) {
        options.realtime = *site.realtime;
    }
    for (CameraConfig camera : site.cameras) {
        // The command line's own settings override the file's, per camera too.
        if (app.count("--threshold")) camera.threshold.reset();
        if (app.count("--stride")) camera.stride.reset();
        if (app.count("--models")) camera.models.reset();
        options.cameras.push_back(std::move(camera));
    }
}

}  // namespace weapon_detect
