// The site config file (YAML) for sites with many cameras: global output and MQTT
// settings, and per camera its input, id, threshold, stride, model folder and video.
// Command-line options override the file. See packaging/site.example.yaml.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace weapon_detect {

// A mistake in the file: the message names the file, the line and the key.
struct ConfigError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct CameraConfig {
    std::string input;
    std::string id;  // empty: derived from the input
    std::optional<float> threshold;
    std::optional<int> stride;
    std::optional<std::string> models;
    std::optional<std::string> video;
    std::optional<std::string> groundTruth;
};

struct SiteConfig {
    std::vector<CameraConfig> cameras;
    std::optional<std::string> output, snapshots, models, module;
    std::optional<float> threshold;
    std::optional<int> stride;
    std::optional<double> quietTime, stallTimeout, statsInterval;
    std::optional<int> maxReconnects;
    std::optional<bool> realtime, append;
    std::optional<std::string> mqtt, mqttTopic, mqttClientId;
};

constexpr size_t kMaxCameras = 1000;
constexpr size_t kMaxCameraIdBytes = 256;

// Reads and checks the file (a regular file of at most 4 MB); relative paths in it are
// taken relative to the file's folder; throws ConfigError for every mistake (unknown key, wrong type,
// value out of range, duplicate camera id, camera without input, YAML syntax).
SiteConfig LoadSiteConfig(const std::string& path);
// The same for the file's text, `path` naming it in messages and anchoring relative paths.
SiteConfig ParseSiteConfig(const std::string& text, const std::string& path);

}  // namespace weapon_detect
