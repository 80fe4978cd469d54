// The site config file (YAML) for sites with many cameras: the global settings that have a
// key in the settings table (settings.h), and per camera its input, id, threshold, stride,
// model folder, video and ground truth.
// Command-line options override the file. See packaging/site.example.yaml.
#pragma once

#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "settings.h"

namespace weapon_detect {

// A mistake in the file: the message names the file, the line and the key.
struct ConfigError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// What a site config gives: the settings it names, and its cameras.
struct SiteConfig {
    std::vector<CameraConfig> cameras;
    Options values;               // only the settings named in `given` come from the file
    std::set<std::string> given;  // their long flags ("--threshold")

    bool Has(const Setting& setting) const { return given.count(setting.Flag()) > 0; }
};

constexpr size_t kMaxCameras = 1000;
constexpr size_t kMaxCameraIdBytes = 256;

// Reads and checks the file (a regular file of at most 4 MB); relative paths in it are
// taken relative to the file's folder; throws ConfigError for every mistake (unknown key, wrong type,
// value out of range, a camera id with a control character, camera without input, YAML
// syntax). Camera ids that meet are refused later, with the command line's (run_plan.h).
SiteConfig LoadSiteConfig(const std::string& path);
// The same for the file's text, `path` naming it in messages and anchoring relative paths.
SiteConfig ParseSiteConfig(const std::string& text, const std::string& path);

}  // namespace weapon_detect
