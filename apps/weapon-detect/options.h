// The command line of weapon-detect, and how a site config file fills what it leaves out.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "site_config.h"

namespace weapon_detect {

struct Options {
    std::vector<std::string> inputs;
    std::vector<std::string> cameraIds;
    std::vector<std::string> groundTruths;
    std::string config;
    bool demo = false;
    std::string models;
    float threshold = 0.5f;
    std::string module;
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
    std::optional<bool> realtime;  // unset: live inputs realtime, files not
    double stallSeconds = 10.0;
    int maxReconnects = -1;
    std::optional<bool> append;          // unset: append for --config runs, replace otherwise
    std::optional<double> statsSeconds;  // unset: every 60 s for realtime cameras
    std::string mqtt;                    // host[:port]
    std::string mqttTopic = "weapon-detect";
    std::string mqttClientId;
    // The page, clips, web hooks and hub discovery.
    std::string http;                   // ADDRESS:PORT; empty for no page
    bool keepServing = false;           // serve the page after the inputs end, until stopped
    bool noClips = false;
    double clipBefore = 5.0, clipAfter = 5.0;
    std::vector<std::string> webhooks;
    bool mqttDiscovery = false;
    std::string mqttDiscoveryPrefix = "homeassistant";
    // Per camera, from the config file: what the command line does not override.
    std::vector<CameraConfig> cameras;
};

void AddOptions(CLI::App& app, Options& options);

// Fills every option not given on the command line from the site config; the file's
// cameras come after the inputs of the command line.
void ApplySiteConfig(const CLI::App& app, const SiteConfig& site, Options& options);

}  // namespace weapon_detect
