// A camera's masks and zones: polygons in coordinates relative to the frame (x and y in
// [0, 1], so they hold at any resolution), read from the site config (areas_config.h) and
// applied to the detections by AreaRules (area_rules.h).
//
// The rules, as the docs state them:
// - a detection is masked when at least half of its box's area lies inside the union of the
//   camera's mask polygons;
// - a detection touches a zone when its box overlaps the zone's polygon at all;
// - with `require`, a detection that is not masked but touches none of the required zones is
//   ignored as outside them.
// Masked and ignored detections raise no alarm; they stay in the records, marked.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace weapon_detect {

struct AreaPoint {
    double x = 0.0, y = 0.0;
};
using AreaPolygon = std::vector<AreaPoint>;

struct Zone {
    std::string name;
    AreaPolygon polygon;
};

struct CameraAreas {
    std::vector<AreaPolygon> masks;
    std::vector<Zone> zones;
    std::vector<std::string> require;  // names of zones; empty: alarms anywhere outside the masks

    bool empty() const { return masks.empty() && zones.empty(); }
    // As GET /api/cameras shows them: {"mask": [[[x, y], ...], ...], "zones": [{"name", "polygon"}],
    // "require": [...]}.
    nlohmann::ordered_json Json() const;
};

constexpr size_t kMaxPolygons = 32;  // masks, and zones, per camera
constexpr size_t kMaxPolygonPoints = 64;
constexpr size_t kMaxZoneNameBytes = 64;

// Why the polygon cannot be used ("has 2 points; a polygon needs at least 3", "edges 1 and 3
// cross"), or empty when it can. Coordinates are checked where they are read.
std::string PolygonProblem(const AreaPolygon& polygon);

}  // namespace weapon_detect
