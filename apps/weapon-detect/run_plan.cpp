#include "run_plan.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <tuple>

#include <CLI/CLI.hpp>

#include "camera_ids.h"
#include "input/video_source.h"
#include "output/event_message.h"
#include "output/output_file.h"
#include "secrets.h"
#include "settings_view.h"
#include "site_config.h"
#include "store/byte_size.h"

namespace fs = std::filesystem;

namespace weapon_detect {

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
        if (!options.cameraIds.empty()) {
            camera.id = options.cameraIds[i];
            camera.idOrigin = "--camera-id (input " + std::to_string(i + 1) + ")";
        }
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

namespace {

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

}  // namespace

std::vector<StreamSettings> CameraSettings(const Options& options, const std::vector<CameraConfig>& cameras,
                                           std::vector<std::string>& outputs) {
    std::vector<CameraIdRequest> requests;
    for (const CameraConfig& camera : cameras) {
        const bool given = !camera.id.empty();
        requests.push_back(
            {MaskSecrets(given ? camera.id : VideoSource::DefaultCameraId(camera.input)), given, camera.idOrigin});
    }
    const std::vector<std::string> ids = UniqueCameraIds(requests);
    if (options.loop && options.realtime != true) {
        throw CLI::ValidationError("--loop", "needs --realtime (in a site config: loop needs realtime: true)");
    }
    std::vector<StreamSettings> settings(cameras.size());
    if (options.output != "-") outputs.push_back(options.output);
    if (!options.snapshots.empty()) outputs.push_back(options.snapshots);
    if (!options.eventsDb.empty()) outputs.push_back(options.eventsDb);
    for (size_t i = 0; i < cameras.size(); ++i) {
        const CameraConfig& camera = cameras[i];
        StreamSettings& s = settings[i];
        s.input = camera.input;
        s.cameraId = ids[i];
        s.stride = camera.stride.value_or(options.stride);
        s.maxFrames = options.maxFrames;
        s.snapshotDir = options.snapshots;
        s.quietSeconds = options.quietSeconds;
        s.realtime = options.realtime.value_or(IsLiveInput(camera.input));
        s.loop = options.loop;
        s.live.stallSeconds = options.stallSeconds;
        s.live.maxReconnects = options.maxReconnects;
        s.statsSeconds = options.statsSeconds.value_or(s.realtime ? 60.0 : 0.0);
        s.groundTruth = camera.groundTruth.value_or("");
        s.areas = camera.areas;
        s.videoPath = VideoPathFor(options, camera, s.cameraId, cameras.size());
        if (!s.videoPath.empty()) outputs.push_back(s.videoPath);
    }
    return settings;
}

namespace {

// The page's certificate and key: both or neither, and only for a page.
void TlsSettings(const Options& options, SiteServiceSettings& s) {
    if (options.tlsCert.empty() != options.tlsKey.empty()) {
        const bool noKey = options.tlsKey.empty();
        throw CLI::ValidationError(noKey ? "--tls-cert" : "--tls-key",
                                   std::string("needs ") + (noKey ? "--tls-key" : "--tls-cert") +
                                       " (in a site config: http.tls-cert and http.tls-key go together)");
    }
    if (!options.tlsCert.empty() && options.http.empty()) {
        throw CLI::ValidationError("--tls-cert", "needs --http (in a site config: http.tls-cert needs http.address)");
    }
    s.tlsCert = options.tlsCert;
    s.tlsKey = options.tlsKey;
}

// The bounds of the snapshot folder (store/retention.h); they need that folder.
void StorageSettings(const Options& options, SiteServiceSettings& s) {
    RetentionSettings& r = s.retention;
    r.folder = options.snapshots;
    r.retainDays = options.retainDays;
    for (const auto& [flag, text, bytes] : {std::tuple{"--max-storage", &options.maxStorage, &r.maxBytes},
                                            std::tuple{"--min-free", &options.minFree, &r.minFree}}) {
        if (text->empty()) continue;
        try {
            *bytes = ParseByteSize(*text);
        } catch (const std::invalid_argument& e) {
            throw CLI::ValidationError(flag, *text + ": " + e.what());
        }
    }
    if (r.any() && options.snapshots.empty()) {
        const char* flag = r.retainDays > 0 ? "--retain-days" : r.maxBytes > 0 ? "--max-storage" : "--min-free";
        throw CLI::ValidationError(flag, "needs --snapshots, the folder it bounds (in a site config: snapshots)");
    }
}

}  // namespace

std::string EnginePrecisionAskedFor(const Options& options) {
    if (!options.enginePrecision.empty()) return options.enginePrecision;
    // Hosts other than this one set the engine's arithmetic by its environment variable; it
    // is read here the same way (a value the engine refuses fails every load anyway).
    const char* environment = std::getenv("ZRV_ENGINE_PRECISION");
    if (environment && *environment) return environment;
    return kEngineDefaultPrecision;
}

SiteServiceSettings ServiceSettings(const Options& options) {
    SiteServiceSettings s;
    s.http = options.http;
    TlsSettings(options, s);
    if (const char* token = std::getenv("WEAPON_DETECT_HTTP_TOKEN")) s.token = token;
    s.users = options.users;
    s.sessionHours = options.sessionHours;
    s.config = EffectiveSettings(options);
    s.webhooks = options.webhooks;
    s.clips = !options.noClips;
    s.clipBefore = options.clipBefore;
    s.clipAfter = options.clipAfter;
    s.liveFps = options.liveFps;
    s.enginePrecision = EnginePrecisionAskedFor(options);
    s.discovery = options.mqttDiscovery;
    s.discoveryPrefix = options.mqttDiscoveryPrefix;
    if (!options.publicUrl.empty()) s.publicUrl = CheckPublicUrl(options.publicUrl);
    // The event history lives with the run's other outputs: the snapshots and clips it names,
    // else the records.
    if (!options.eventsDb.empty()) {
        s.eventsDb = options.eventsDb;
    } else if (!options.snapshots.empty()) {
        s.eventsDb = (fs::path(options.snapshots) / "events.db").string();
    } else if (options.output != "-") {
        s.eventsDb = (fs::path(options.output).parent_path() / "events.db").string();
    }
    // A setting that only works with another is refused without it, from the command line
    // or the site config alike: silently doing nothing would look like it works.
    if (s.discovery && options.mqtt.empty()) {
        throw CLI::ValidationError("--mqtt-discovery",
                                   "needs --mqtt (in a site config: mqtt.discovery needs mqtt.host)");
    }
    if (options.keepServing && options.http.empty()) {
        throw CLI::ValidationError("--keep-serving", "needs --http (in a site config: keep-serving needs http)");
    }
    StorageSettings(options, s);
    // A thread per web hook: a bounded number of them.
    if (s.webhooks.size() > WebhookSender::kMaxHooks) {
        throw CLI::ValidationError("--webhook", "at most " + std::to_string(WebhookSender::kMaxHooks) +
                                                    " web hooks, not " + std::to_string(s.webhooks.size()));
    }
    return s;
}

}  // namespace weapon_detect
