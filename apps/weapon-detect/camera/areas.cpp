#include "camera/areas.h"

#include <algorithm>
#include <cmath>

namespace weapon_detect {
namespace {

// >0 counter-clockwise, <0 clockwise, 0 on one line.
double Turn(const AreaPoint& a, const AreaPoint& b, const AreaPoint& c) {
    return (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
}

bool Within(const AreaPoint& a, const AreaPoint& b, const AreaPoint& p) {
    return std::min(a.x, b.x) <= p.x && p.x <= std::max(a.x, b.x) && std::min(a.y, b.y) <= p.y &&
           p.y <= std::max(a.y, b.y);
}

// Segments ab and cd share a point (crossing, touching or overlapping).
bool Meet(const AreaPoint& a, const AreaPoint& b, const AreaPoint& c, const AreaPoint& d) {
    const double d1 = Turn(c, d, a), d2 = Turn(c, d, b), d3 = Turn(a, b, c), d4 = Turn(a, b, d);
    if (((d1 > 0 && d2 < 0) || (d1 < 0 && d2 > 0)) && ((d3 > 0 && d4 < 0) || (d3 < 0 && d4 > 0))) return true;
    return (d1 == 0 && Within(c, d, a)) || (d2 == 0 && Within(c, d, b)) || (d3 == 0 && Within(a, b, c)) ||
           (d4 == 0 && Within(a, b, d));
}

nlohmann::ordered_json PolygonJson(const AreaPolygon& polygon) {
    nlohmann::ordered_json points = nlohmann::ordered_json::array();
    for (const AreaPoint& p : polygon) points.push_back({p.x, p.y});
    return points;
}

}  // namespace

std::string PolygonProblem(const AreaPolygon& p) {
    const size_t n = p.size();
    if (n < 3) return "has " + std::to_string(n) + " points; a polygon needs at least 3";
    if (n > kMaxPolygonPoints)
        return "has " + std::to_string(n) + " points; at most " + std::to_string(kMaxPolygonPoints) + " are allowed";
    for (size_t i = 0; i < n; ++i) {
        const AreaPoint& a = p[i];
        const AreaPoint& b = p[(i + 1) % n];
        if (a.x == b.x && a.y == b.y) {
            return "points " + std::to_string(i) + " and " + std::to_string((i + 1) % n) + " are the same";
        }
    }
    // Edge i runs from point i to point i+1. Non-adjacent edges must not meet; adjacent ones
    // must not fold back over each other.
    for (size_t i = 0; i < n; ++i) {
        const AreaPoint &a = p[i], &b = p[(i + 1) % n], &c = p[(i + 2) % n];
        if (Turn(a, b, c) == 0 && (b.x - a.x) * (c.x - b.x) + (b.y - a.y) * (c.y - b.y) < 0) {
            return "edges " + std::to_string(i) + " and " + std::to_string((i + 1) % n) + " fold back over each other";
        }
        for (size_t j = i + 2; j < n; ++j) {
            if (i == 0 && j == n - 1) continue;  // adjacent through the closing edge
            if (Meet(a, b, p[j], p[(j + 1) % n])) {
                return "crosses itself: edges " + std::to_string(i) + " and " + std::to_string(j) +
                       " meet (edge k runs from point k to the next)";
            }
        }
    }
    // A polygon that neither crosses nor folds encloses an area; this catches what rounding
    // let through.
    double area = 0.0;
    for (size_t i = 0; i < n; ++i) area += p[i].x * p[(i + 1) % n].y - p[(i + 1) % n].x * p[i].y;
    if (std::abs(area) < 1e-12) return "encloses no area";
    return {};
}

nlohmann::ordered_json CameraAreas::Json() const {
    nlohmann::ordered_json mask = nlohmann::ordered_json::array();
    for (const AreaPolygon& m : masks) mask.push_back(PolygonJson(m));
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const Zone& z : zones) list.push_back({{"name", z.name}, {"polygon", PolygonJson(z.polygon)}});
    return {{"mask", std::move(mask)}, {"zones", std::move(list)}, {"require", require}};
}

}  // namespace weapon_detect
