// What a run does, worked out from the options before anything is opened or written: the
// cameras, each camera's settings and output paths, and the site services' settings. Pure
// functions of the options (and, for the page's token, the environment).
#pragma once

#include <string>
#include <vector>

#include "settings.h"
#include "site_services.h"
#include "stream_worker.h"

namespace weapon_detect {

// The cameras to run: the command line's inputs first, then the config file's. Throws
// CLI::ValidationError when the per-input options do not fit the inputs or there are more
// than kMaxCameras.
std::vector<CameraConfig> CamerasOf(const Options& options);

// Every camera's settings, in the order of `cameras`. Camera ids are unique also as file
// names and MQTT topic levels (UniqueCameraIds: the user's ids that meet are refused with
// CLI::ValidationError, derived ones are told apart; --loop without --realtime is refused too); with several cameras the run's
// annotated video becomes one per camera, named after it. Appends every output path to
// `outputs` (the records and snapshots first, then the videos) for the clash checks.
std::vector<StreamSettings> CameraSettings(const Options& options, const std::vector<CameraConfig>& cameras,
                                           std::vector<std::string>& outputs);

// The page, clips, web hooks and discovery as the options ask, with the page's token from
// WEAPON_DETECT_HTTP_TOKEN and the event store's file (--events-db, else events.db in the
// snapshot folder, else beside the -o file, else none: in memory). The addresses and URLs
// were checked where they were read (the settings table); throws CLI::ValidationError for
// discovery without MQTT, for
// --keep-serving without --http and for more than WebhookSender::kMaxHooks web hooks.
SiteServiceSettings ServiceSettings(const Options& options);

// The engine's arithmetic unless asked otherwise (ZRV_ENGINE_PRECISION unset); the engine's
// own default, kDefaultEnginePrecision in src/engine/openvino/compiled_models.h.
inline constexpr const char* kEngineDefaultPrecision = "f32";
// The engine's arithmetic as this run asks for it: --engine-precision, else
// ZRV_ENGINE_PRECISION, else the default.
std::string EnginePrecisionAskedFor(const Options& options);

}  // namespace weapon_detect
