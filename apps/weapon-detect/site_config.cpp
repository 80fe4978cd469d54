#include "site_config.h"

#include <cmath>
#include <filesystem>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include <yaml-cpp/depthguard.h>
#include <yaml-cpp/yaml.h>

#include "bounded_read.h"
#include "input/video_source.h"

namespace fs = std::filesystem;

namespace weapon_detect {
namespace {

constexpr size_t kMaxConfigBytes = 4u << 20;
constexpr size_t kMaxConfigLine = 64u << 10;

class Reader {
public:
    explicit Reader(std::string path) : path_(std::move(path)) {}

    [[noreturn]] void Fail(const YAML::Node& node, const std::string& key, const std::string& what) const {
        const int line = node.Mark().line >= 0 ? node.Mark().line + 1 : 0;
        throw ConfigError(path_ + ":" + std::to_string(line) + ": " + (key.empty() ? "" : key + ": ") + what);
    }

    template <typename T>
    T Scalar(const YAML::Node& node, const std::string& key, const char* kind) const {
        if (!node.IsScalar()) Fail(node, key, std::string("must be ") + kind);
        try {
            return node.as<T>();
        } catch (const YAML::Exception&) {
            Fail(node, key, std::string("must be ") + kind + ", not '" + node.Scalar() + "'");
        }
    }
    std::string Text(const YAML::Node& n, const std::string& key) const {
        const std::string text = Scalar<std::string>(n, key, "text");
        if (text.empty()) Fail(n, key, "must not be empty");
        return text;
    }
    double Number(const YAML::Node& n, const std::string& key, double low, double high) const {
        const double value = Scalar<double>(n, key, "a number");
        if (!std::isfinite(value) || value < low || value > high) {
            Fail(n, key, "must be a number from " + Format(low) + " to " + Format(high));
        }
        return value;
    }
    int Integer(const YAML::Node& n, const std::string& key, int low, int high) const {
        const int value = Scalar<int>(n, key, "a whole number");
        if (value < low || value > high) Fail(n, key, "must be from " + Format(low) + " to " + Format(high));
        return value;
    }
    bool Flag(const YAML::Node& n, const std::string& key) const { return Scalar<bool>(n, key, "true or false"); }

    // The keys of a mapping, in order, each a plain word given once.
    struct Entry {
        std::string key;
        YAML::Node keyNode, value;
    };
    std::vector<Entry> Entries(const YAML::Node& map, const std::string& where) const {
        std::vector<Entry> entries;
        std::map<std::string, int> lines;
        for (const auto& entry : map) {
            const std::string prefix = where.empty() ? "" : where + ".";
            if (!entry.first.IsScalar()) Fail(entry.first, where, "keys must be plain words, not lists or mappings");
            const std::string key = entry.first.Scalar();
            const int line = entry.first.Mark().line + 1;
            const auto [seen, fresh] = lines.emplace(key, line);
            if (!fresh) Fail(entry.first, prefix + key, "given twice (first on line " + std::to_string(seen->second) + ")");
            entries.push_back({key, entry.first, entry.second});
        }
        return entries;
    }
    int Line(const YAML::Node& node) const { return node.Mark().line >= 0 ? node.Mark().line + 1 : 0; }

private:
    static std::string Format(double v) {
        std::string text = std::to_string(v);
        text.erase(text.find_last_not_of('0') + 1);
        if (!text.empty() && text.back() == '.') text.pop_back();
        return text;
    }
    std::string path_;
};

void ReadCamera(const Reader& r, const YAML::Node& node, size_t index, CameraConfig& camera, int& idLine) {
    const std::string where = "cameras[" + std::to_string(index) + "]";
    if (!node.IsMap()) r.Fail(node, where, "must be a mapping with at least 'input'");
    for (const auto& [key, keyNode, v] : r.Entries(node, where)) {
        const std::string name = where + "." + key;
        if (key == "input") camera.input = r.Text(v, name);
        else if (key == "id") {
            camera.id = r.Text(v, name);
            if (camera.id.size() > kMaxCameraIdBytes) r.Fail(v, name, "longer than " + std::to_string(kMaxCameraIdBytes) + " bytes");
            idLine = r.Line(v);
        }
        else if (key == "threshold") camera.threshold = static_cast<float>(r.Number(v, name, 0, 1));
        else if (key == "stride") camera.stride = r.Integer(v, name, 1, 100000);
        else if (key == "models") camera.models = r.Text(v, name);
        else if (key == "video") camera.video = r.Text(v, name);
        else if (key == "ground-truth") camera.groundTruth = r.Text(v, name);
        else r.Fail(keyNode, name, "unknown key (known: input, id, threshold, stride, models, video, ground-truth)");
    }
    if (camera.input.empty()) r.Fail(node, where, "has no 'input'");
}

// Relative paths in the file name files beside it, wherever the program is started from
// (a service's working folder is "/").
void ResolveAgainst(const fs::path& folder, SiteConfig& site) {
    auto resolve = [&](std::string& path) {
        if (path.empty() || path == "-" || IsLiveInput(path) || fs::path(path).is_absolute()) return;
        path = (folder / path).lexically_normal().string();
    };
    auto resolveOptional = [&](std::optional<std::string>& path) {
        if (path) resolve(*path);
    };
    resolveOptional(site.output);
    resolveOptional(site.snapshots);
    resolveOptional(site.models);
    resolveOptional(site.module);
    for (auto& camera : site.cameras) {
        resolve(camera.input);
        resolveOptional(camera.models);
        resolveOptional(camera.video);
        resolveOptional(camera.groundTruth);
    }
}

SiteConfig Check(const std::string& path, const YAML::Node& root);

}  // namespace

SiteConfig LoadSiteConfig(const std::string& path) {
    std::string text;
    try {
        text = ReadTextFile(path, kMaxConfigBytes, kMaxConfigLine);
    } catch (const UnreadableFile& e) {
        throw ConfigError(std::string("cannot read the config file ") + e.what());
    }
    return ParseSiteConfig(text, path);
}

SiteConfig ParseSiteConfig(const std::string& text, const std::string& path) {
    YAML::Node root;
    try {
        root = YAML::Load(text);
    } catch (const YAML::DeepRecursion& e) {
        throw ConfigError(path + ":" + std::to_string(e.mark.line + 1) + ": nested " + std::to_string(e.depth()) +
                          " levels deep; a site config needs four");
    } catch (const YAML::ParserException& e) {
        throw ConfigError(path + ":" + std::to_string(e.mark.line + 1) + ": " + e.msg);
    }
    try {
        return Check(path, root);
    } catch (const YAML::Exception& e) {
        throw ConfigError(path + ":" + std::to_string(e.mark.line + 1) + ": " + e.msg);
    }
}

namespace {
SiteConfig Check(const std::string& path, const YAML::Node& root) {
    const Reader r(path);
    if (!root.IsMap()) r.Fail(root, "", "the config file must be a mapping with a 'cameras' list");
    SiteConfig site;
    std::vector<int> idLines;
    for (const auto& [key, keyNode, v] : r.Entries(root, "")) {
        if (key == "cameras") {
            if (!v.IsSequence() || v.size() == 0) r.Fail(v, key, "must be a list of cameras");
            if (v.size() > kMaxCameras) {
                r.Fail(v, key, "more than " + std::to_string(kMaxCameras) + " cameras; run several processes instead");
            }
            site.cameras.resize(v.size());
            idLines.resize(v.size());
            for (size_t i = 0; i < v.size(); ++i) ReadCamera(r, v[i], i, site.cameras[i], idLines[i]);
        } else if (key == "output") site.output = r.Text(v, key);
        else if (key == "snapshots") site.snapshots = r.Text(v, key);
        else if (key == "models") site.models = r.Text(v, key);
        else if (key == "module") site.module = r.Text(v, key);
        else if (key == "threshold") site.threshold = static_cast<float>(r.Number(v, key, 0, 1));
        else if (key == "stride") site.stride = r.Integer(v, key, 1, 100000);
        else if (key == "quiet-time") site.quietTime = r.Number(v, key, 0, 86400);
        else if (key == "stall-timeout") site.stallTimeout = r.Number(v, key, 0.5, 3600);
        else if (key == "stats-interval") site.statsInterval = r.Number(v, key, 0, 86400);
        else if (key == "max-reconnects") site.maxReconnects = r.Integer(v, key, -1, 1000000);
        else if (key == "realtime") site.realtime = r.Flag(v, key);
        else if (key == "append") site.append = r.Flag(v, key);
        else if (key == "mqtt") {
            if (!v.IsMap()) r.Fail(v, key, "must be a mapping with 'host'");
            for (const auto& [sub, subNode, m] : r.Entries(v, "mqtt")) {
                const std::string name = "mqtt." + sub;
                if (sub == "host") site.mqtt = r.Text(m, name);
                else if (sub == "topic") site.mqttTopic = r.Text(m, name);
                else if (sub == "client-id") site.mqttClientId = r.Text(m, name);
                else r.Fail(subNode, name, "unknown key (known: host, topic, client-id; the user and password "
                                     "come from WEAPON_DETECT_MQTT_USERNAME and WEAPON_DETECT_MQTT_PASSWORD)");
            }
            if (!site.mqtt) r.Fail(v, key, "has no 'host'");
        } else {
            r.Fail(keyNode, key, "unknown key");
        }
    }
    if (site.cameras.empty()) r.Fail(root, "cameras", "the config file names no camera");
    std::set<std::string> ids;
    for (size_t i = 0; i < site.cameras.size(); ++i) {
        const auto& id = site.cameras[i].id;
        if (!id.empty() && !ids.insert(id).second) {
            throw ConfigError(path + ":" + std::to_string(idLines[i]) + ": cameras[" + std::to_string(i) +
                              "].id: duplicate camera id '" + id + "'");
        }
    }
    ResolveAgainst(fs::path(path).parent_path(), site);
    return site;
}
}  // namespace

}  // namespace weapon_detect
