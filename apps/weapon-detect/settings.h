// The host program's settings in one table: per setting its command-line flags, its site
// config key, its range and its help. The command line (options.cpp) and the site config
// reader (site_config.cpp) are both made from it, so their names, ranges and defaults agree.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "camera/areas.h"
#include "web/web_user.h"

namespace weapon_detect {

// One camera of a site config; unset values come from the global settings.
struct CameraConfig {
    std::string input;
    std::string id;        // empty: derived from the input
    std::string idOrigin;  // where `id` was given, for messages ("site.yaml:5: cameras[1].id")
    std::optional<float> threshold;
    std::optional<int> stride;
    std::optional<std::string> models;
    std::optional<std::string> video;
    std::optional<std::string> groundTruth;
    CameraAreas areas;  // masks and zones (camera/areas.h)
};

// Every setting of a run, with its default.
struct Options {
    std::vector<std::string> inputs;
    std::vector<std::string> cameraIds;
    std::vector<std::string> groundTruths;
    std::string config;
    bool demo = false;
    std::string models;  // default: the demo models beside the program (AddOptions)
    float threshold = 0.5f;
    std::string module;  // default: the module beside the program (AddOptions)
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
    int engineThreads = -1;
    std::string enginePrecision;   // f32, bf16, f16 or auto; empty: ZRV_ENGINE_PRECISION, else the engine's default
    std::optional<bool> realtime;  // unset: live inputs realtime, files not
    bool loop = false;             // a file played with --realtime starts over at its end
    double stallSeconds = 10.0;
    int maxReconnects = -1;
    std::optional<bool> append;          // unset: append for --config runs, replace otherwise
    std::optional<double> statsSeconds;  // unset: every 60 s for realtime cameras
    std::string mqtt;                    // host[:port]
    std::string mqttTopic = "weapon-detect";
    std::string mqttClientId;
    // The page, clips, web hooks and hub discovery.
    std::string http;          // ADDRESS:PORT; empty for no page
    bool keepServing = false;  // serve the page after the inputs end, until stopped
    int liveFps = 5;           // the live streams' JPEGs a second at most
    bool noClips = false;
    double clipBefore = 5.0, clipAfter = 5.0;
    std::vector<std::string> webhooks;
    double deliverySeconds = 30.0;  // for web hooks and MQTT after the inputs end
    bool mqttDiscovery = false;
    std::string mqttDiscoveryPrefix = "homeassistant";
    std::string publicUrl;  // the page's address as receivers of messages reach it; empty for none
    std::string eventsDb;  // empty: in the snapshot folder, else beside -o, else in memory
    // Bounded storage of the snapshot folder's event files (store/retention.h); 0 or empty: none.
    int retainDays = 0;
    std::string maxStorage, minFree;  // sizes ("500M", "20G", bytes)
    // The page over TLS with these PEM files; empty: plain HTTP.
    std::string tlsCert, tlsKey;
    // The page's sign-in: users from the site config's http.users, and a session's length.
    std::vector<WebUser> users;
    double sessionHours = 12.0;
    // Per camera, from the config file: what the command line does not override.
    std::vector<CameraConfig> cameras;
};

// Where a setting's value lives; its type says how it is parsed on both sides.
using Field = std::variant<std::string Options::*, std::vector<std::string> Options::*, bool Options::*,
                           std::optional<bool> Options::*, int Options::*, long long Options::*, float Options::*,
                           double Options::*, std::optional<double> Options::*>;

struct Setting {
    std::string flags;  // CLI11 names, "-t,--threshold"; a name without dashes is positional
    std::string key;    // site config key, "mqtt.host" inside a mapping; empty: command line only
    Field field;
    std::string help;
    // Numbers: the inclusive range, when `ranged`; an infinite `high` means no upper bound.
    bool ranged = false;
    double low = 0.0, high = 0.0;
    size_t maxBytes = 0;         // text: the longest value, 0 for no limit
    bool showDefault = false;    // --help shows the default
    bool existingFile = false;   // the command line's value names an existing file
    bool path = false;           // a file or folder: relative in the site config means beside the file
    bool negatedInFile = false;  // a "--no-x" flag whose config key says the opposite ("x: false")
    // Text (each item of a list): throws std::invalid_argument saying why a value is refused.
    void (*check)(const std::string&) = nullptr;
    // An optional<bool> is a flag pair: `flags` sets it, `offFlag` clears it.
    std::string offFlag, offHelp;

    // The long flag ("--threshold"), or the positional name: what CLI::App::count takes.
    std::string Flag() const;
};

// Every setting, in --help order.
const std::vector<Setting>& Settings();
// The setting with this long flag or positional name; throws std::logic_error for none.
const Setting& SettingFor(const std::string& flag);
// The setting with this site config key (top-level or "mqtt.host"); nullptr for none.
const Setting* SettingForKey(const std::string& key);

// A per-camera key of the site config and the global setting whose range and checks it takes.
using CameraField = std::variant<std::string CameraConfig::*, std::optional<std::string> CameraConfig::*,
                                 std::optional<float> CameraConfig::*, std::optional<int> CameraConfig::*>;
struct CameraSetting {
    std::string key;   // "threshold" in cameras[i]
    std::string flag;  // the setting it follows ("--threshold")
    CameraField field;
    bool overriddenByCommandLine;  // the flag on the command line replaces every camera's own value
};
const std::vector<CameraSetting>& CameraSettings();

// Decimal text of a range bound without trailing zeros ("0.5", "86400").
std::string FormatBound(double value);

}  // namespace weapon_detect
