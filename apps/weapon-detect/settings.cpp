#include "settings.h"

#include <cmath>
#include <limits>
#include <stdexcept>

#include "addresses.h"
#include "camera_ids.h"
#include "output/event_message.h"
#include "output/mqtt_publisher.h"
#include "site_config.h"
#include "store/byte_size.h"

namespace weapon_detect {
namespace {

// Appends one setting to the table; the chained calls fill in what it needs beyond the basics.
class Add {
public:
    Add(std::vector<Setting>& table, std::string flags, std::string key, Field field, std::string help)
        : s_(table.emplace_back()) {
        s_.flags = std::move(flags);
        s_.key = std::move(key);
        s_.field = field;
        s_.help = std::move(help);
    }
    Add& In(double low, double high) {
        s_.ranged = true;
        s_.low = low;
        s_.high = high;
        return *this;
    }
    Add& Shown() {
        s_.showDefault = true;
        return *this;
    }
    Add& Path() {
        s_.path = true;
        return *this;
    }
    Add& Existing() {
        s_.existingFile = true;
        return *this;
    }
    Add& MaxBytes(size_t bytes) {
        s_.maxBytes = bytes;
        return *this;
    }
    Add& NegatedInFile() {
        s_.negatedInFile = true;
        return *this;
    }
    Add& Checked(void (*check)(const std::string&)) {
        s_.check = check;
        return *this;
    }
    Add& Off(std::string flag, std::string help) {
        s_.offFlag = std::move(flag);
        s_.offHelp = std::move(help);
        return *this;
    }

private:
    Setting& s_;
};

// A prefix that cannot start MQTT topics (a wildcard, an empty level, a control character).
void CheckEnginePrecision(const std::string& value) {
    if (value != "f32" && value != "bf16" && value != "f16" && value != "auto") {
        throw std::invalid_argument("engine-precision is '" + value +
                                    "'; it takes f32 (32-bit floats), bf16 (bfloat16), f16 (16-bit floats) or auto "
                                    "(the runtime chooses for the CPU)");
    }
}

void CheckTopicPrefix(const std::string& prefix) {
    const std::string why = MqttPublisher::CheckTopicPrefix(prefix);
    if (!why.empty()) throw std::invalid_argument("cannot start MQTT topics: " + why);
}

// What is analysed.
void AddInputSettings(std::vector<Setting>& t) {
    Add(t, "inputs", "", &Options::inputs, "Video files, image sequences, camera indices or URLs").Path();
    Add(t, "--ground-truth", "", &Options::groundTruths,
        "Labelled boxes per input, in input order (MOTChallenge text: frame,id,x,y,w,h,conf,class,"
        "visibility; frames from 1): prints precision, recall, false alarms per hour, matched "
        "events and delays, and writes an evaluation record; one file per occurrence")
        .Existing()
        .Path();
    Add(t, "--config", "", &Options::config,
        "Site config file (YAML): cameras, outputs, MQTT; options given here override it")
        .Existing();
    Add(t, "--demo", "", &Options::demo,
        "Run the synthetic demo scene (also what runs without any argument); takes no input");
    Add(t, "--camera-id", "", &Options::cameraIds,
        "Camera id per input, in input order, one per occurrence (default: derived from the input)")
        .MaxBytes(kMaxCameraIdBytes)
        .Checked(CheckCameraId);
}

// How the detector runs.
void AddDetectorSettings(std::vector<Setting>& t) {
    constexpr double kNoLimit = std::numeric_limits<double>::infinity();
    Add(t, "-m,--models", "models", &Options::models, "Model folder").Shown().Path();
    Add(t, "-t,--threshold", "threshold", &Options::threshold, "Detection score threshold").In(0.0, 1.0).Shown();
    Add(t, "--module", "module", &Options::module, "Plug-in module to load").Shown().Path();
    Add(t, "--load-engine-on-create", "", &Options::loadEngineOnCreate,
        "Ask the engine to prepare the models while loading");
    Add(t, "--optimize", "", &Options::optimize, "Optimise the models after loading");
    Add(t, "--stride", "stride", &Options::stride, "Analyse every N-th frame").In(1, 100000).Shown();
    Add(t, "--max-frames", "", &Options::maxFrames, "Read at most N frames per input (0: all)").In(0, kNoLimit).Shown();
}

// What is written, and when an alarm event ends.
void AddOutputSettings(std::vector<Setting>& t) {
    Add(t, "-o,--output", "output", &Options::output,
        "JSON Lines output, - for standard output (demo: <output-dir>/detections.jsonl)")
        .Shown()
        .Path();
    Add(t, "--video", "", &Options::video,
        "Annotated video to write (.mp4 or .avi; with several inputs the camera id is "
        "added to the name; default: none, demo: <output-dir>/annotated.mp4)")
        .Path();
    Add(t, "--snapshots", "snapshots", &Options::snapshots,
        "Folder for the JPEG snapshot of every alarm event (default: none, demo: "
        "<output-dir>/snapshots)")
        .Path();
    Add(t, "--output-dir", "", &Options::outputDir, "Folder for the demo's outputs").Shown().Path();
    Add(t, "--quiet-time", "quiet-time", &Options::quietSeconds, "Seconds without a detection that end an alarm event")
        .In(0.0, 86400.0)
        .Shown();
    Add(t, "-q,--quiet", "", &Options::quiet, "No progress line and no summary");
}

// Threads, live inputs and the alarm log.
void AddRunSettings(std::vector<Setting>& t) {
    Add(t, "--opencv-threads", "opencv-threads", &Options::opencvThreads,
        "Worker threads of OpenCV's parallel loops, shared by all cameras (default: OpenCV's "
        "choice; 1 runs them on the calling thread)")
        .In(1, 1024);
    Add(t, "--engine-threads", "engine-threads", &Options::engineThreads,
        "CPU threads of the inference runtime, shared by all cameras and both models; the "
        "same as ZRV_ENGINE_THREADS for other hosts (default: every physical core)")
        .In(1, 1024);
    Add(t, "--engine-precision", "engine-precision", &Options::enginePrecision,
        "Arithmetic of the inference runtime: f32, bf16, f16 or auto (the runtime's choice for the CPU: "
        "bfloat16 where it has a bfloat16 unit); the same as ZRV_ENGINE_PRECISION for other hosts "
        "(default: f32)")
        .Checked(CheckEnginePrecision);
    Add(t, "--realtime", "realtime", &Options::realtime,
        "Analyse only the newest frame, counting the others as dropped, and reconnect when the input "
        "stops (default for camera indices and URLs; a file is then played at its own frame rate)")
        .Off("--no-realtime", "Analyse every frame in order (default for files and image sequences)");
    Add(t, "--loop", "loop", &Options::loop,
        "With --realtime: play a file again from its start each time it ends, until stopped (without it "
        "a file ends at its end)");
    Add(t, "--append", "append", &Options::append,
        "Add the records to the end of an existing -o file, written as they come (default for --config "
        "runs: a service's records are its alarm log)")
        .Off("--no-append",
             "Replace the -o file when the run ends, with a part file meanwhile (default without "
             "--config)");
    Add(t, "--stall-timeout", "stall-timeout", &Options::stallSeconds,
        "Seconds without a frame after which a live input is reopened")
        .In(0.5, 3600.0)
        .Shown();
    Add(t, "--max-reconnects", "max-reconnects", &Options::maxReconnects,
        "Failed reconnections in a row after which a live input gives up (-1: never)")
        .In(-1, 1000000)
        .Shown();
    Add(t, "--stats-interval", "stats-interval", &Options::statsSeconds,
        "Seconds between stats records per camera (0: none; default: 60 for live inputs, none "
        "for files)")
        .In(0.0, 86400.0);
}

void AddMqttSettings(std::vector<Setting>& t) {
    Add(t, "--mqtt", "mqtt.host", &Options::mqtt,
        "MQTT broker HOST[:PORT] for events, snapshots and states (user and password from "
        "WEAPON_DETECT_MQTT_USERNAME and WEAPON_DETECT_MQTT_PASSWORD)")
        .Checked([](const std::string& text) { ParseMqttAddress(text); });
    Add(t, "--mqtt-topic", "mqtt.topic", &Options::mqttTopic, "Prefix of the MQTT topics")
        .Shown()
        .Checked(CheckTopicPrefix);
    Add(t, "--mqtt-client-id", "mqtt.client-id", &Options::mqttClientId,
        "MQTT client id (default: weapon-detect-<host>-<process id>)");
}

// The page, clips, web hooks and hub discovery.
void AddServiceSettings(std::vector<Setting>& t) {
    Add(t, "--http", "http", &Options::http,
        "Serve the page, its JSON API and /metrics on ADDRESS:PORT (PORT alone: 127.0.0.1; "
        "token from WEAPON_DETECT_HTTP_TOKEN)")
        .Checked([](const std::string& text) { ParseHttpAddress(text); });
    Add(t, "--keep-serving", "keep-serving", &Options::keepServing,
        "With --http: keep serving the page after the inputs end, until stopped");
    Add(t, "--live-fps", "live-fps", &Options::liveFps,
        "With --http: JPEGs a second at most in a camera's live stream (/api/cameras/N/live.mjpeg), made only "
        "while somebody watches")
        .In(1, 30)
        .Shown();
    Add(t, "--no-clips", "clips", &Options::noClips, "Write no event clips beside the snapshots").NegatedInFile();
    Add(t, "--clip-before", "clip-before", &Options::clipBefore, "Seconds of video before an event's start in its clip")
        .In(0.0, 60.0)
        .Shown();
    Add(t, "--clip-after", "clip-after", &Options::clipAfter, "Seconds of video after an event's end in its clip")
        .In(0.0, 60.0)
        .Shown();
    Add(t, "--webhook", "webhooks", &Options::webhooks,
        "POST every event (start, update, end) as JSON to this URL (repeatable)")
        .Checked(CheckWebhookUrl);
    Add(t, "--delivery-timeout", "delivery-timeout", &Options::deliverySeconds,
        "Seconds the web hooks and MQTT get after the inputs end to deliver what is still queued "
        "(after a stop at most 5); what is not delivered by then makes the exit status 1")
        .In(0.0, 3600.0)
        .Shown();
    Add(t, "--mqtt-discovery", "mqtt.discovery", &Options::mqttDiscovery,
        "Publish retained MQTT discovery configs for home-automation hubs (a weapon sensor and the "
        "last snapshot per camera)");
    Add(t, "--mqtt-discovery-prefix", "mqtt.discovery-prefix", &Options::mqttDiscoveryPrefix,
        "Topic prefix of the discovery configs")
        .Shown()
        .Checked(CheckTopicPrefix);
    Add(t, "--public-url", "public-url", &Options::publicUrl,
        "The page's address as the receivers of web hooks and MQTT messages reach it (http:// or "
        "https://): their links to the event, its snapshot and its clip start with it")
        .Checked([](const std::string& text) { CheckPublicUrl(text); });
    Add(t, "--events-db", "events-db", &Options::eventsDb,
        "The event history (SQLite), kept across runs for the page and its API (default: events.db in the "
        "snapshot folder, else beside the -o file, else in memory for this run only)")
        .Path();
}

// The page over TLS.
void AddTlsSettings(std::vector<Setting>& t) {
    Add(t, "--tls-cert", "http.tls-cert", &Options::tlsCert,
        "With --http: serve the page over TLS (https://) with this PEM certificate (chain); with --tls-key, "
        "both read again on SIGHUP")
        .Path();
    Add(t, "--tls-key", "http.tls-key", &Options::tlsKey, "With --tls-cert: the certificate's PEM private key").Path();
}

// The page's sign-in (its users are read apart, site_config.cpp).
void AddSignInSettings(std::vector<Setting>& t) {
    Add(t, "--session-hours", "http.session-hours", &Options::sessionHours,
        "With --http: hours a session signed in on the login page lasts (users from the site config's http.users)")
        .In(0.1, 720.0)
        .Shown();
}

// Bounded storage of the snapshot folder: what is removed, and when clips stop.
void AddStorageSettings(std::vector<Setting>& t) {
    Add(t, "--retain-days", "retain-days", &Options::retainDays,
        "Remove the snapshots and clips of events that started more than N days ago (0: keep them; the "
        "event history keeps their rows)")
        .In(0, 100000)
        .Shown();
    Add(t, "--max-storage", "max-storage", &Options::maxStorage,
        "The most the snapshot folder's event files (snapshots and clips) may take, e.g. 500M or 20G: the "
        "oldest events' files are removed first, an unacknowledged alarm's last (default: no bound)")
        .Checked(CheckByteSize);
    Add(t, "--min-free", "min-free", &Options::minFree,
        "Below this much free space in the snapshot folder (e.g. 2G) new clips are skipped, below half of it "
        "snapshots too; said on the page and in a line (default: no floor)")
        .Checked(CheckByteSize);
}

// In --help order.
std::vector<Setting> MakeSettings() {
    std::vector<Setting> table;
    AddInputSettings(table);
    AddDetectorSettings(table);
    AddOutputSettings(table);
    AddRunSettings(table);
    AddMqttSettings(table);
    AddServiceSettings(table);
    AddTlsSettings(table);
    AddSignInSettings(table);
    AddStorageSettings(table);
    return table;
}

}  // namespace

std::string Setting::Flag() const {
    const size_t dashes = flags.rfind("--");
    return dashes == std::string::npos ? flags : flags.substr(dashes);
}

const std::vector<Setting>& Settings() {
    static const std::vector<Setting> settings = MakeSettings();
    return settings;
}

const Setting& SettingFor(const std::string& flag) {
    for (const Setting& s : Settings()) {
        if (s.Flag() == flag) return s;
    }
    throw std::logic_error("no setting " + flag);
}

const Setting* SettingForKey(const std::string& key) {
    for (const Setting& s : Settings()) {
        if (!s.key.empty() && s.key == key) return &s;
    }
    return nullptr;
}

const std::vector<CameraSetting>& CameraSettings() {
    static const std::vector<CameraSetting> cameras = {
        {"input", "inputs", &CameraConfig::input, false},
        {"id", "--camera-id", &CameraConfig::id, false},
        {"threshold", "--threshold", &CameraConfig::threshold, true},
        {"stride", "--stride", &CameraConfig::stride, true},
        {"models", "--models", &CameraConfig::models, true},
        {"video", "--video", &CameraConfig::video, false},
        {"ground-truth", "--ground-truth", &CameraConfig::groundTruth, false},
    };
    return cameras;
}

std::string FormatBound(double value) {
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    std::string text = std::to_string(value);
    text.erase(text.find_last_not_of('0') + 1);
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}

}  // namespace weapon_detect
