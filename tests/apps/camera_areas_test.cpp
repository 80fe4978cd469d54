// Masks and zones of a camera: the site config's polygons refused with file, line and key,
// and the rules (half a box's area under a mask, any overlap with a zone) on boxes.
#include <string>

#include <gtest/gtest.h>

#include "camera/area_rules.h"
#include "site_config.h"

using namespace weapon_detect;

namespace {

const std::string kHead = "cameras:\n  - input: a.mp4\n";  // the camera's keys start on line 3

std::string Points(int n) {
    std::string list = "[";
    for (int i = 0; i < n; ++i) list += std::string(i ? ", " : "") + "[" + std::to_string(i % 2) + ", 0.5]";
    return list + "]";
}

}  // namespace

TEST(CameraAreas, BadPolygonsAndZonesAreRefusedWithLineAndKey) {
    const std::string square = "[[0, 0], [1, 0], [1, 1], [0, 1]]";
    std::string manyMasks = "    mask:\n";
    for (int i = 0; i < 33; ++i) manyMasks += "      - " + square + "\n";
    const struct {
        std::string name, camera, message;
    } cases[] = {
        {"two points", "    mask:\n      - [[0, 0], [1, 0]]\n",
         "site.yaml:4: cameras[0].mask[0]: has 2 points; a polygon needs at least 3"},
        {"x beyond the frame", "    mask:\n      - [[0, 0], [1.2, 0], [1, 1]]\n",
         "site.yaml:4: cameras[0].mask[0][1][0]: x must be a number from 0 to 1"},
        {"y below the frame", "    mask:\n      - " + square + "\n      - [[0, 0], [1, -0.1], [1, 1]]\n",
         "site.yaml:5: cameras[0].mask[1][1][1]: y must be a number from 0 to 1"},
        {"not a number", "    mask:\n      - [[0, 0], [left, 0], [1, 1]]\n",
         "site.yaml:4: cameras[0].mask[0][1][0]: x must be a number from 0 to 1 (a share of the frame's width), "
         "not 'left'"},
        {"not a number either", "    mask:\n      - [[0, 0], [.nan, 0], [1, 1]]\n",
         "site.yaml:4: cameras[0].mask[0][1][0]: x must be a number from 0 to 1"},
        {"a point of three", "    mask:\n      - [[0, 0, 0], [1, 0], [1, 1]]\n",
         "site.yaml:4: cameras[0].mask[0][0]: must be a point [x, y]"},
        {"a bow tie", "    mask:\n      - [[0, 0], [1, 1], [1, 0], [0, 1]]\n",
         "site.yaml:4: cameras[0].mask[0]: crosses itself: edges 0 and 2 meet"},
        {"a vertex on a far edge", "    mask:\n      - [[0, 0], [1, 0], [1, 1], [0.5, 0], [0, 1]]\n",
         "site.yaml:4: cameras[0].mask[0]: crosses itself"},
        {"folded back", "    mask:\n      - [[0, 0], [1, 0], [0.5, 0], [0.5, 1]]\n",
         "site.yaml:4: cameras[0].mask[0]: edges 0 and 1 fold back over each other"},
        {"on one line", "    mask:\n      - [[0, 0], [0.5, 0.5], [1, 1]]\n",
         "site.yaml:4: cameras[0].mask[0]: edges 1 and 2 fold back over each other"},
        {"a point twice", "    mask:\n      - [[0, 0], [1, 0], [1, 0], [0, 1]]\n",
         "site.yaml:4: cameras[0].mask[0]: points 1 and 2 are the same"},
        {"too many points", "    mask:\n      - " + Points(65) + "\n",
         "site.yaml:4: cameras[0].mask[0]: has 65 points; at most 64 are allowed"},
        {"too many masks", manyMasks, "site.yaml:4: cameras[0].mask: has 33 entries; at most 32 are allowed"},
        {"mask not a list", "    mask: everywhere\n", "site.yaml:3: cameras[0].mask: must be a list of polygons"},
        {"a zone's bad polygon", "    zones:\n      - name: door\n        polygon: [[0, 0], [1, 0]]\n",
         "site.yaml:5: cameras[0].zones[0].polygon: has 2 points"},
        {"an empty zone name", "    zones:\n      - name: ''\n        polygon: " + square + "\n",
         "site.yaml:4: cameras[0].zones[0].name: must not be empty"},
        {"a long zone name",
         "    zones:\n      - name: " + std::string(65, 'z') + "\n        polygon: " + square + "\n",
         "site.yaml:4: cameras[0].zones[0].name: longer than 64 bytes"},
        {"a zone name twice",
         "    zones:\n      - {name: door, polygon: " + square + "}\n      - {name: door, polygon: " + square + "}\n",
         "site.yaml:5: cameras[0].zones[1].name: 'door' is already the name of cameras[0].zones[0]"},
        {"a zone without its polygon", "    zones:\n      - name: door\n",
         "site.yaml:4: cameras[0].zones[0]: has no 'polygon'"},
        {"an unknown zone key", "    zones:\n      - {name: door, colour: red, polygon: " + square + "}\n",
         "site.yaml:4: cameras[0].zones[0].colour: unknown key (known: name, polygon)"},
        {"require of an unknown zone", "    require: gate\n    zones:\n      - {name: door, polygon: " + square + "}\n",
         "site.yaml:3: cameras[0].require: no zone of this camera is named 'gate' (its zones: door)"},
        {"require of a camera without zones", "    require: [gate]\n",
         "site.yaml:3: cameras[0].require[0]: no zone of this camera is named 'gate' (it has none)"},
        {"require of nothing", "    require: []\n", "site.yaml:3: cameras[0].require: names no zone"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            ParseSiteConfig(kHead + c.camera, "site.yaml");
            ADD_FAILURE() << "accepted";
        } catch (const ConfigError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(c.message, 0), 0u) << e.what();
        }
    }
}

TEST(CameraAreas, MasksZonesAndRequireAreRead) {
    const SiteConfig site = ParseSiteConfig(kHead +
                                                "    mask:\n"
                                                "      - [[0, 0], [0.5, 0], [0.5, 0.25]]\n"
                                                "    zones:\n"
                                                "      - name: door\n"
                                                "        polygon: [[0, 0.5], [1, 0.5], [1, 1], [0, 1]]\n"
                                                "      - {name: yard, polygon: [[0, 0], [1, 0], [1, 0.5]]}\n"
                                                "    require: door\n"
                                                "  - input: b.mp4\n"
                                                "    require: [ramp, ramp]\n"
                                                "    zones: [{name: ramp, polygon: [[0, 0], [1, 0], [0, 1]]}]\n",
                                            "site.yaml");
    const CameraAreas& a = site.cameras[0].areas;
    ASSERT_EQ(a.masks.size(), 1u);
    EXPECT_DOUBLE_EQ(a.masks[0][2].y, 0.25);
    ASSERT_EQ(a.zones.size(), 2u);
    EXPECT_EQ(a.zones[1].name, "yard");
    EXPECT_EQ(a.require, std::vector<std::string>{"door"});
    EXPECT_EQ(site.cameras[1].areas.require, std::vector<std::string>{"ramp"}) << "require may come before zones";
    EXPECT_EQ(a.Json()["zones"][0]["polygon"][1].dump(), "[1.0,0.5]");

    // The packaged example shows one camera with a mask and a zone.
    const SiteConfig example = LoadSiteConfig(SITE_EXAMPLE);
    EXPECT_EQ(example.cameras[1].areas.masks.size(), 1u);
    EXPECT_EQ(example.cameras[1].areas.zones.size(), 1u);
}

TEST(CameraAreas, AMaskTakesABoxWithHalfItsAreaUnderIt) {
    // A 200 x 100 frame; the mask is its left half (x up to 100), then an L whose notch is
    // free. The pixels a mask's edge runs through count as inside: shares are exact to one
    // column or row of the box.
    const cv::Size frame(200, 100);
    AreaRules half(CameraAreas{{{{0, 0}, {0.5, 0}, {0.5, 1}, {0, 1}}}, {}, {}});
    EXPECT_NEAR(half.MaskedShare({90, 10, 20, 10}, frame), 0.5, 0.051);
    EXPECT_EQ(half.Judge({90, 10, 20, 10}, frame).kind, AreaVerdict::Kind::Masked) << "half inside";
    EXPECT_NEAR(half.MaskedShare({92, 10, 20, 10}, frame), 0.4, 0.051);
    EXPECT_EQ(half.Judge({92, 10, 20, 10}, frame).kind, AreaVerdict::Kind::Alarm) << "just under half";
    EXPECT_DOUBLE_EQ(half.MaskedShare({190, 10, 20, 10}, frame), 0.0) << "the part beyond the frame is not counted";
    EXPECT_EQ(half.Judge({90, 10, 200, 10}, frame).kind, AreaVerdict::Kind::Alarm)
        << "the part beyond the frame is not counted";
    // The same polygon on a frame of another size (the rules redraw their image).
    EXPECT_EQ(half.Judge({180, 20, 40, 20}, {400, 200}).kind, AreaVerdict::Kind::Masked);
    EXPECT_EQ(half.Judge({184, 20, 40, 20}, {400, 200}).kind, AreaVerdict::Kind::Alarm);

    AreaRules l(CameraAreas{{{{0, 0}, {0.5, 0}, {0.5, 0.5}, {0.25, 0.5}, {0.25, 1}, {0, 1}}}, {}, {}});
    EXPECT_EQ(l.Judge({60, 60, 30, 30}, frame).kind, AreaVerdict::Kind::Alarm) << "in the notch";
    EXPECT_NEAR(l.MaskedShare({40, 40, 20, 20}, frame), 0.75, 0.051);

    // Two masks that overlap count their common part once: 18 % of the box under one, 38 %
    // under the other, 38 % under both together.
    AreaRules two(
        CameraAreas{{{{0, 0}, {0.3, 0}, {0.3, 1}, {0, 1}}, {{0.2, 0}, {0.35, 0}, {0.35, 1}, {0.2, 1}}}, {}, {}});
    EXPECT_NEAR(two.MaskedShare({52, 0, 50, 10}, frame), 0.38, 0.021);
    EXPECT_EQ(two.Judge({52, 0, 50, 10}, frame).kind, AreaVerdict::Kind::Alarm);
}

TEST(CameraAreas, ABoxTouchesAZoneWhenTheyShareAnyArea) {
    const cv::Size frame(200, 100);
    // A triangle with its right angle at the frame's lower right, and a U whose gap is free.
    const Zone triangle{"yard", {{0.5, 0.5}, {1, 0.5}, {1, 1}}};
    const Zone u{"door", {{0, 0}, {1, 0}, {1, 1}, {0.7, 1}, {0.7, 0.3}, {0.3, 0.3}, {0.3, 1}, {0, 1}}};
    AreaRules rules(CameraAreas{{}, {u, triangle}, {"yard"}});
    const struct {
        const char* name;
        cv::Rect box;
        AreaVerdict::Kind kind;
        uint64_t zones;
    } cases[] = {
        {"over the triangle's corner", {95, 45, 10, 10}, AreaVerdict::Kind::Alarm, 0b10},
        {"meeting its corner at a point", {90, 40, 10, 10}, AreaVerdict::Kind::OutsideRequired, 0b00},
        {"on its edge", {120, 40, 20, 10}, AreaVerdict::Kind::OutsideRequired, 0b00},
        {"inside its bounds, beside it", {110, 80, 10, 10}, AreaVerdict::Kind::OutsideRequired, 0b00},
        {"in the U's gap", {70, 60, 30, 30}, AreaVerdict::Kind::OutsideRequired, 0b00},
        {"over the U's arm", {50, 50, 20, 20}, AreaVerdict::Kind::OutsideRequired, 0b01},
        {"in both", {130, 50, 20, 20}, AreaVerdict::Kind::Alarm, 0b11},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const AreaVerdict v = rules.Judge(c.box, frame);
        EXPECT_EQ(v.kind, c.kind);
        EXPECT_EQ(v.zones, c.zones);
    }
    EXPECT_DOUBLE_EQ(rules.ZoneOverlap(1, {95, 45, 10, 10}, frame), 6.25) << "the triangle's part in the box";

    // A mask wins over a required zone: the box is masked, whatever it touches.
    AreaRules both(CameraAreas{{{{0.5, 0.5}, {1, 0.5}, {1, 1}, {0.5, 1}}}, {triangle}, {"yard"}});
    EXPECT_EQ(both.Judge({150, 60, 20, 20}, frame).kind, AreaVerdict::Kind::Masked);
}
