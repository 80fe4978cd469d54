// The settings table as both sides see it: every setting with a config key sets the same
// value from its flag and from its key, refuses the same range on both sides, and the
// command line overrides the file. Plus the site config's own mistakes and new keys.
#include <algorithm>
#include <cmath>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "options.h"
#include "settings.h"
#include "site_config.h"

using namespace weapon_detect;

namespace {

constexpr const char* kCamera = "cameras:\n  - input: /videos/a.avi\n";

// Parses a command line (without the program name) into fresh options.
Options ParseCommandLine(CLI::App& app, std::vector<std::string> args) {
    Options options;
    AddOptions(app, options);
    std::reverse(args.begin(), args.end());  // CLI11 takes them last first
    app.parse(args);
    return options;
}

// A site config's settings applied over a command line.
Options FromFile(const std::string& yaml, std::vector<std::string> args = {}) {
    CLI::App app;
    Options options = ParseCommandLine(app, std::move(args));
    ApplySiteConfig(app, ParseSiteConfig(yaml, "/etc/wd/site.yaml"), options);
    return options;
}

// A value in range for the setting, as the command line and the file both write it.
std::string SampleValue(const Setting& s) {
    return std::visit(
        [&](auto member) -> std::string {
            using T = std::decay_t<decltype(Options{}.*member)>;
            if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, std::vector<std::string>>) {
                if (s.path) return "/abs/value";
                if (s.check == nullptr) return "http://127.0.0.1:9/value";
                // The first sample the setting's own check takes.
                for (const char* sample : {"http://127.0.0.1:9/value", "127.0.0.1:9", "20G", "bf16"}) {
                    try {
                        s.check(sample);
                        return sample;
                    } catch (const std::invalid_argument&) {
                    }
                }
                ADD_FAILURE() << "no sample fits " << s.Flag();
                return "";
            } else if constexpr (std::is_same_v<T, bool> || std::is_same_v<T, std::optional<bool>>) {
                return "";
            } else {
                return FormatBound(s.high);  // differs from every default
            }
        },
        s.field);
}

bool IsFlag(const Setting& s) {
    return std::holds_alternative<bool Options::*>(s.field) ||
           std::holds_alternative<std::optional<bool> Options::*>(s.field);
}

// The YAML line that gives `value` under the setting's key (nested keys as a mapping).
std::string YamlFor(const Setting& s, const std::string& value) {
    const size_t dot = s.key.find('.');
    const bool list = std::holds_alternative<std::vector<std::string> Options::*>(s.field);
    const std::string text = list ? "[" + value + "]" : value;
    if (dot == std::string::npos) return s.key + ": " + text + "\n";
    std::string yaml = s.key.substr(0, dot) + ":\n  " + s.key.substr(dot + 1) + ": " + text + "\n";
    // An mqtt mapping needs its host, an http mapping its address.
    if (s.key.rfind("mqtt.", 0) == 0 && s.key != "mqtt.host") yaml += "  host: broker\n";
    if (s.key.rfind("http.", 0) == 0) yaml += "  address: 127.0.0.1:8080\n";
    return yaml;
}

bool SameField(const Setting& s, const Options& a, const Options& b) {
    return std::visit([&](auto member) { return a.*member == b.*member; }, s.field);
}

}  // namespace

TEST(SettingsTable, FlagAndKeySetTheSameValue) {
    const Options defaults;
    for (const Setting& s : Settings()) {
        if (s.key.empty()) continue;
        SCOPED_TRACE(s.Flag());
        const std::string value = SampleValue(s);
        CLI::App app;
        std::vector<std::string> args = {s.Flag()};
        if (!IsFlag(s)) args.push_back(value);
        const Options fromFlag = ParseCommandLine(app, args);
        const std::string fileValue = IsFlag(s) ? (s.negatedInFile ? "false" : "true") : value;
        const Options fromKey = FromFile(YamlFor(s, fileValue) + kCamera);
        EXPECT_TRUE(SameField(s, fromFlag, fromKey));
        EXPECT_FALSE(SameField(s, fromFlag, defaults)) << "the sample must differ from the default";
        if (!s.offFlag.empty()) {
            CLI::App offApp;
            const Options off = ParseCommandLine(offApp, {s.offFlag});
            EXPECT_TRUE(SameField(s, off, FromFile(YamlFor(s, "false") + kCamera)));
        }
    }
}

TEST(SettingsTable, OutOfRangeIsRefusedOnBothSidesWithTheSameRange) {
    for (const Setting& s : Settings()) {
        if (!s.ranged) continue;
        SCOPED_TRACE(s.Flag());
        const bool whole =
            std::holds_alternative<int Options::*>(s.field) || std::holds_alternative<long long Options::*>(s.field);
        std::vector<double> bad = {s.low - 1};
        if (std::isfinite(s.high)) bad.push_back(s.high + 1);
        for (const double value : bad) {
            const std::string text = FormatBound(value);
            try {
                CLI::App app;
                ParseCommandLine(app, {s.Flag(), text});
                ADD_FAILURE() << "the command line took " << text;
            } catch (const CLI::ParseError& e) {
                const std::string message = e.what();
                if (std::isfinite(s.high)) {
                    EXPECT_NE(message.find(FormatBound(s.low)), std::string::npos) << message;
                    EXPECT_NE(message.find(FormatBound(s.high)), std::string::npos) << message;
                }
            }
            if (s.key.empty()) continue;
            const std::string range = std::string(whole ? "must be from " : "must be a number from ") +
                                      FormatBound(s.low) + " to " + FormatBound(s.high);
            try {
                FromFile(YamlFor(s, text) + kCamera);
                ADD_FAILURE() << "the file took " << text;
            } catch (const ConfigError& e) {
                EXPECT_NE(std::string(e.what()).find(s.key + ": " + range), std::string::npos) << e.what();
            }
        }
    }
}

TEST(SettingsTable, AddressesAndUrlsAreRefusedOnBothSidesForTheSameReason) {
    const struct {
        std::string flag, value, reason;
    } cases[] = {
        {"--http", "127.0.0.1:99999", "bad port in '127.0.0.1:99999'"},
        {"--http", "[::1]", "bad port in '[::1]'"},
        {"--mqtt", "ws://127.0.0.1", "'ws://' is not supported"},
        {"--mqtt", "guard:right@127.0.0.1", "no user or password in the address"},
        {"--mqtt", "127.0.0.1:0", "bad MQTT port '0'"},
        {"--webhook", "ftp://127.0.0.1/x", "not an http:// or https:// URL: ftp://127.0.0.1/x"},
        {"--webhook", "http://", "not a usable URL (No host part in the URL): http://"},
        {"--mqtt-topic", "site//x", "cannot start MQTT topics: it has an empty level"},
        {"--mqtt-discovery-prefix", "home/#", "cannot start MQTT topics: it holds a wildcard"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flag + " " + c.value);
        const Setting& s = SettingFor(c.flag);
        try {
            CLI::App app;
            ParseCommandLine(app, {c.flag, c.value});
            ADD_FAILURE() << "the command line took it";
        } catch (const CLI::ValidationError& e) {
            EXPECT_NE(std::string(e.what()).find(c.flag + ": " + c.reason), std::string::npos) << e.what();
        }
        // In the file, a list's item is named by its place.
        const bool list = std::holds_alternative<std::vector<std::string> Options::*>(s.field);
        const std::string key = s.key.substr(s.key.find('.') + 1) + (list ? "[0]" : "");
        try {
            FromFile(YamlFor(s, "'" + c.value + "'") + kCamera);
            ADD_FAILURE() << "the file took it";
        } catch (const ConfigError& e) {
            EXPECT_NE(std::string(e.what()).find(key + ": " + c.reason), std::string::npos) << e.what();
            EXPECT_EQ(std::string(e.what()).rfind("/etc/wd/site.yaml:", 0), 0u) << e.what();
        }
    }
}

TEST(SettingsTable, CameraKeysFollowTheirGlobalSetting) {
    // A camera's threshold and stride have the range of the global ones, message and all.
    for (const CameraSetting& c : CameraSettings()) {
        const Setting& s = SettingFor(c.flag);
        if (!s.ranged) continue;
        SCOPED_TRACE(c.key);
        const std::string yaml = std::string(kCamera) + "    " + c.key + ": " + FormatBound(s.high + 1) + "\n";
        try {
            ParseSiteConfig(yaml, "site.yaml");
            ADD_FAILURE() << "out of range taken";
        } catch (const ConfigError& e) {
            EXPECT_NE(std::string(e.what()).find("cameras[0]." + c.key + ": must be"), std::string::npos);
            EXPECT_NE(std::string(e.what()).find(FormatBound(s.low) + " to " + FormatBound(s.high)), std::string::npos)
                << e.what();
        }
    }
}

TEST(SettingsTable, KeysUsersWriteStayKnown) {
    const std::set<std::string> keys = {"output",
                                        "snapshots",
                                        "models",
                                        "module",
                                        "threshold",
                                        "stride",
                                        "quiet-time",
                                        "stall-timeout",
                                        "stats-interval",
                                        "max-reconnects",
                                        "realtime",
                                        "loop",
                                        "append",
                                        "mqtt.host",
                                        "mqtt.topic",
                                        "mqtt.client-id",
                                        "http",
                                        "keep-serving",
                                        "live-fps",
                                        "clips",
                                        "clip-before",
                                        "clip-after",
                                        "webhooks",
                                        "delivery-timeout",
                                        "mqtt.discovery",
                                        "mqtt.discovery-prefix",
                                        "public-url",
                                        "engine-threads",
                                        "opencv-threads",
                                        "events-db",
                                        "retain-days",
                                        "max-storage",
                                        "min-free",
                                        "http.tls-cert",
                                        "http.tls-key",
                                        "http.session-hours",
                                        "engine-precision"};
    std::set<std::string> table;
    for (const Setting& s : Settings()) {
        if (!s.key.empty()) table.insert(s.key);
    }
    EXPECT_EQ(table, keys);
}

TEST(SiteConfig, NewKeysApplyAndRelativePathsMeanBesideTheFile) {
    const Options o = FromFile(
        "http: 127.0.0.1:8080\nkeep-serving: true\nclips: false\nclip-before: 2.5\nclip-after: 0\n"
        "webhooks:\n  - http://127.0.0.1:9/a\n  - https://127.0.0.1:9/b\nengine-threads: 2\nopencv-threads: 1\n"
        "mqtt:\n  host: broker\n  discovery: true\n  discovery-prefix: hub\n"
        "output: log/out.jsonl\nsnapshots: ../snaps\n"
        "cameras:\n  - input: clip.avi\n    models: m\n    video: v.mp4\n    ground-truth: gt.txt\n"
        "  - input: rtsp://127.0.0.1/live\n");
    EXPECT_EQ(o.http, "127.0.0.1:8080") << "an address, not a path";
    EXPECT_TRUE(o.keepServing);
    EXPECT_TRUE(o.noClips);
    EXPECT_EQ(o.clipBefore, 2.5);
    EXPECT_EQ(o.clipAfter, 0.0);
    EXPECT_EQ(o.webhooks, (std::vector<std::string>{"http://127.0.0.1:9/a", "https://127.0.0.1:9/b"}));
    EXPECT_EQ(o.engineThreads, 2);
    EXPECT_EQ(o.opencvThreads, 1);
    EXPECT_TRUE(o.mqttDiscovery);
    EXPECT_EQ(o.mqttDiscoveryPrefix, "hub");
    EXPECT_EQ(o.output, "/etc/wd/log/out.jsonl");
    EXPECT_EQ(o.snapshots, "/etc/snaps");
    ASSERT_EQ(o.cameras.size(), 2u);
    EXPECT_EQ(o.cameras[0].input, "/etc/wd/clip.avi");
    EXPECT_EQ(o.cameras[0].models, "/etc/wd/m");
    EXPECT_EQ(o.cameras[0].video, "/etc/wd/v.mp4");
    EXPECT_EQ(o.cameras[0].groundTruth, "/etc/wd/gt.txt");
    EXPECT_EQ(o.cameras[1].input, "rtsp://127.0.0.1/live");
}

TEST(SiteConfig, TheAddressOfThePageMayStandUnderHttp) {
    EXPECT_EQ(FromFile("http:\n  address: 0.0.0.0:8081\ncameras:\n  - input: a.avi\n").http, "0.0.0.0:8081");
}

TEST(SiteConfig, CommandLineOverridesTheFile) {
    const std::string yaml =
        "realtime: true\nappend: false\nthreshold: 0.7\nwebhooks: [http://127.0.0.1:9/file]\nclips: false\n"
        "cameras:\n  - input: /a.avi\n    threshold: 0.9\n    stride: 3\n    models: /m\n    video: /v.mp4\n";
    const Options o = FromFile(yaml, {"--no-realtime", "--append", "-t", "0.3", "--webhook", "http://127.0.0.1:9/cli",
                                      "--stride", "2", "--video", "/cli.mp4"});
    EXPECT_EQ(o.realtime, false);
    EXPECT_EQ(o.append, true);
    EXPECT_FLOAT_EQ(o.threshold, 0.3f);
    EXPECT_EQ(o.webhooks, std::vector<std::string>{"http://127.0.0.1:9/cli"}) << "the list is replaced, not merged";
    EXPECT_TRUE(o.noClips) << "not given on the command line: the file's";
    ASSERT_EQ(o.cameras.size(), 1u);
    EXPECT_FALSE(o.cameras[0].threshold) << "-t overrides every camera's own";
    EXPECT_FALSE(o.cameras[0].stride);
    EXPECT_EQ(o.cameras[0].models, "/m") << "no --models given";
    EXPECT_EQ(o.cameras[0].video, "/v.mp4") << "a camera's own video stays";

    const Options fileOnly = FromFile(yaml);
    EXPECT_EQ(fileOnly.realtime, true);
    EXPECT_EQ(fileOnly.append, false);
    EXPECT_FLOAT_EQ(fileOnly.threshold, 0.7f);
    EXPECT_EQ(fileOnly.cameras[0].threshold, 0.9f);
}

TEST(SiteConfig, MistakesNameTheLineAndKey) {
    const struct {
        std::string name, text, message;
    } cases[] = {
        {"webhooks not a list", "webhooks: http://127.0.0.1:9/\n", "site.yaml:1: webhooks: must be a list"},
        {"empty webhook", "webhooks:\n  - ''\n", "site.yaml:2: webhooks[0]: must not be empty"},
        {"clips not a flag", "clips: maybe\n", "site.yaml:1: clips: must be true or false, not 'maybe'"},
        {"threads not whole", "engine-threads: 1.5\n", "site.yaml:1: engine-threads: must be a whole number"},
        {"dotted key at the top", "mqtt.host: broker\n", "site.yaml:1: mqtt.host: unknown key"},
        {"discovery without host", "mqtt:\n  discovery: true\n", "site.yaml:2: mqtt: has no 'host'"},
        {"unknown mqtt key", "mqtt:\n  host: b\n  port: 1\n",
         "site.yaml:3: mqtt.port: unknown key (known: host, topic, client-id, discovery, discovery-prefix; "},
        {"unknown camera key", "cameras:\n  - input: a\n    colour: red\n",
         "site.yaml:3: cameras[0].colour: unknown key (known: input, id, threshold, stride, models, video, "
         "ground-truth, mask, zones, require)"},
        {"new key twice", "http: 1\nhttp: 2\n", "site.yaml:2: http: given twice (first on line 1)"},
        {"http mapping without its address", "http:\n  keep: 1\n",
         "site.yaml:2: http.keep: unknown key (known: address"},
        {"http mapping of nothing known", "http: {}\n", "site.yaml:1: http: has no 'address'"},
        {"mqtt key twice", "mqtt:\n  host: a\n  discovery: true\n  discovery: false\n",
         "site.yaml:4: mqtt.discovery: given twice (first on line 3)"},
        {"camera id too long", "cameras:\n  - input: a\n    id: " + std::string(257, 'x') + "\n",
         "site.yaml:3: cameras[0].id: longer than 256 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string text = c.text.find("cameras:") == std::string::npos ? c.text + kCamera : c.text;
        try {
            ParseSiteConfig(text, "site.yaml");
            ADD_FAILURE() << "accepted";
        } catch (const ConfigError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(c.message, 0), 0u) << e.what();
        }
    }
}

TEST(SiteConfig, ThePackagedExampleIsValid) {
    const SiteConfig site = LoadSiteConfig(SITE_EXAMPLE);
    EXPECT_EQ(site.cameras.size(), 2u);
    for (const char* flag : {"--http", "--webhook", "--no-clips", "--mqtt-discovery", "--engine-threads", "--events-db"}) {
        EXPECT_TRUE(site.Has(SettingFor(flag))) << flag << " is shown in the example";
    }
}
