#include "camera/areas_config.h"

#include <algorithm>
#include <cmath>
#include <set>

#include "site_config.h"

namespace weapon_detect {

void AreasReader::Fail(const YAML::Node& node, const std::string& key, const std::string& what) const {
    const int line = node.Mark().line >= 0 ? node.Mark().line + 1 : 0;
    throw ConfigError(path_ + ":" + std::to_string(line) + ": " + key + ": " + what);
}

AreaPolygon AreasReader::Polygon(const YAML::Node& node, const std::string& key) const {
    if (!node.IsSequence()) Fail(node, key, "must be a list of [x, y] points");
    if (node.size() > kMaxPolygonPoints) {
        Fail(node, key,
             "has " + std::to_string(node.size()) + " points; at most " + std::to_string(kMaxPolygonPoints) +
                 " are allowed");
    }
    AreaPolygon polygon;
    for (size_t i = 0; i < node.size(); ++i) {
        const std::string point = key + "[" + std::to_string(i) + "]";
        const YAML::Node& p = node[i];
        if (!p.IsSequence() || p.size() != 2) Fail(p, point, "must be a point [x, y]");
        double xy[2];
        for (size_t c = 0; c < 2; ++c) {
            const std::string coordinate = point + "[" + std::to_string(c) + "]";
            const YAML::Node& v = p[c];
            double value = NAN;
            if (v.IsScalar()) {
                try {
                    value = v.as<double>();
                } catch (const YAML::Exception&) {
                }
            }
            if (!(value >= 0.0 && value <= 1.0)) {
                Fail(v, coordinate,
                     std::string(c == 0 ? "x" : "y") + " must be a number from 0 to 1 (a share of the frame's " +
                         (c == 0 ? "width" : "height") + ")" + (v.IsScalar() ? ", not '" + v.Scalar() + "'" : ""));
            }
            xy[c] = value;
        }
        polygon.push_back({xy[0], xy[1]});
    }
    if (const std::string problem = PolygonProblem(polygon); !problem.empty()) Fail(node, key, problem);
    return polygon;
}

std::string AreasReader::Name(const YAML::Node& node, const std::string& key) const {
    if (!node.IsScalar()) Fail(node, key, "must be a zone's name");
    const std::string name = node.Scalar();
    if (name.empty()) Fail(node, key, "must not be empty");
    if (name.size() > kMaxZoneNameBytes) Fail(node, key, "longer than " + std::to_string(kMaxZoneNameBytes) + " bytes");
    if (std::any_of(name.begin(), name.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; })) {
        Fail(node, key, "holds a control character");
    }
    return name;
}

void AreasReader::Read(const std::string& key, const YAML::Node& value, CameraAreas& areas) {
    const std::string name = where_ + "." + key;
    if (key == "require") {
        require_ = value;
        hasRequire_ = true;
        return;
    }
    if (!value.IsSequence())
        Fail(value, name, key == "mask" ? "must be a list of polygons" : "must be a list of zones");
    if (value.size() > kMaxPolygons) {
        Fail(value, name,
             "has " + std::to_string(value.size()) + " entries; at most " + std::to_string(kMaxPolygons) +
                 " are allowed");
    }
    for (size_t i = 0; i < value.size(); ++i) {
        const std::string item = name + "[" + std::to_string(i) + "]";
        if (key == "mask") {
            areas.masks.push_back(Polygon(value[i], item));
            continue;
        }
        const YAML::Node& z = value[i];
        if (!z.IsMap()) Fail(z, item, "must be a mapping with 'name' and 'polygon'");
        Zone zone;
        bool polygon = false;
        for (const auto& entry : z) {
            const std::string sub = entry.first.IsScalar() ? entry.first.Scalar() : std::string();
            if (sub == "name") {
                zone.name = Name(entry.second, item + ".name");
            } else if (sub == "polygon") {
                polygon = true;
                zone.polygon = Polygon(entry.second, item + ".polygon");
            } else {
                Fail(entry.first, item + "." + sub, "unknown key (known: name, polygon)");
            }
        }
        if (zone.name.empty()) Fail(z, item, "has no 'name'");
        if (!polygon) Fail(z, item, "has no 'polygon'");
        for (size_t j = 0; j < areas.zones.size(); ++j) {
            if (areas.zones[j].name == zone.name) {
                Fail(z["name"], item + ".name",
                     "'" + zone.name + "' is already the name of " + name + "[" + std::to_string(j) + "]");
            }
        }
        areas.zones.push_back(std::move(zone));
    }
}

void AreasReader::Finish(CameraAreas& areas) const {
    if (!hasRequire_) return;
    const std::string name = where_ + ".require";
    std::vector<std::pair<YAML::Node, std::string>> items;
    if (require_.IsSequence()) {
        if (require_.size() == 0) Fail(require_, name, "names no zone");
        if (require_.size() > kMaxPolygons) Fail(require_, name, "names more zones than a camera has");
        for (size_t i = 0; i < require_.size(); ++i) {
            items.emplace_back(require_[i], name + "[" + std::to_string(i) + "]");
        }
    } else {
        items.emplace_back(require_, name);
    }
    for (const auto& [node, key] : items) {
        const std::string zone = Name(node, key);
        const bool known =
            std::any_of(areas.zones.begin(), areas.zones.end(), [&](const Zone& z) { return z.name == zone; });
        if (!known) {
            std::string list;
            for (const Zone& z : areas.zones) list += (list.empty() ? "" : ", ") + z.name;
            Fail(node, key,
                 "no zone of this camera is named '" + zone + "'" +
                     (list.empty() ? " (it has none)" : " (its zones: " + list + ")"));
        }
        if (std::find(areas.require.begin(), areas.require.end(), zone) == areas.require.end()) {
            areas.require.push_back(zone);
        }
    }
}

}  // namespace weapon_detect
