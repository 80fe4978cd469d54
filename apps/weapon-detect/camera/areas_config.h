// A camera's `mask`, `zones` and `require` keys of the site config (site_config.cpp hands them
// over): each polygon a list of at least three [x, y] points with x and y from 0 to 1 of the
// frame, not crossing itself; zones as {name, polygon}; `require` a zone's name or a list of
// them. Every mistake throws ConfigError naming the file, the line and the key
// ("site.yaml:7: cameras[0].mask[1][2][0]: ...").
#pragma once

#include <string>

#include <yaml-cpp/yaml.h>

#include "camera/areas.h"

namespace weapon_detect {

class AreasReader {
public:
    // `path` names the file in messages; `where` is the camera's key ("cameras[0]").
    AreasReader(std::string path, std::string where) : path_(std::move(path)), where_(std::move(where)) {}

    static bool Reads(const std::string& key) { return key == "mask" || key == "zones" || key == "require"; }
    // One of the three keys.
    void Read(const std::string& key, const YAML::Node& value, CameraAreas& areas);
    // After the camera's last key: `require` names zones of this camera.
    void Finish(CameraAreas& areas) const;

private:
    [[noreturn]] void Fail(const YAML::Node& node, const std::string& key, const std::string& what) const;
    AreaPolygon Polygon(const YAML::Node& node, const std::string& key) const;
    std::string Name(const YAML::Node& node, const std::string& key) const;

    std::string path_, where_;
    YAML::Node require_;
    bool hasRequire_ = false;
};

}  // namespace weapon_detect
