#include "site_config.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <yaml-cpp/depthguard.h>
#include <yaml-cpp/yaml.h>

#include "bounded_read.h"
#include "camera/areas_config.h"
#include "input/video_source.h"

namespace fs = std::filesystem;

namespace weapon_detect {
namespace {

constexpr size_t kMaxConfigBytes = 4u << 20;
constexpr size_t kMaxConfigLine = 64u << 10;

class Reader {
public:
    explicit Reader(std::string path) : path_(std::move(path)) {}
    const std::string& path() const { return path_; }

    [[noreturn]] void Fail(const YAML::Node& node, const std::string& key, const std::string& what) const {
        throw ConfigError(Where(node, key) + ": " + what);
    }
    // "path:line" or "path:line: key", for messages.
    std::string Where(const YAML::Node& node, const std::string& key) const {
        const int line = node.Mark().line >= 0 ? node.Mark().line + 1 : 0;
        return path_ + ":" + std::to_string(line) + (key.empty() ? "" : ": " + key);
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
    std::string Text(const YAML::Node& n, const std::string& key, size_t maxBytes = 0) const {
        const std::string text = Scalar<std::string>(n, key, "text");
        if (text.empty()) Fail(n, key, "must not be empty");
        if (maxBytes > 0 && text.size() > maxBytes) Fail(n, key, "longer than " + std::to_string(maxBytes) + " bytes");
        return text;
    }
    // The setting's own check of a text value.
    void Check(const YAML::Node& n, const std::string& key, const Setting& s, const std::string& text) const {
        if (!s.check) return;
        try {
            s.check(text);
        } catch (const std::invalid_argument& e) {
            Fail(n, key, e.what());
        }
    }
    double Number(const YAML::Node& n, const std::string& key, const Setting& s) const {
        const double value = Scalar<double>(n, key, "a number");
        if (!std::isfinite(value) || (s.ranged && (value < s.low || value > s.high))) {
            Fail(n, key, "must be a number from " + FormatBound(s.low) + " to " + FormatBound(s.high));
        }
        return value;
    }
    template <typename T>
    T Integer(const YAML::Node& n, const std::string& key, const Setting& s) const {
        const T value = Scalar<T>(n, key, "a whole number");
        if (s.ranged && (value < s.low || value > s.high)) {
            Fail(n, key, "must be from " + FormatBound(s.low) + " to " + FormatBound(s.high));
        }
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
            if (!fresh)
                Fail(entry.first, prefix + key, "given twice (first on line " + std::to_string(seen->second) + ")");
            entries.push_back({key, entry.first, entry.second});
        }
        return entries;
    }

private:
    std::string path_;
};

template <typename T>
struct Unwrapped {
    using type = T;
};
template <typename T>
struct Unwrapped<std::optional<T>> {
    using type = T;
};

// Reads one value as its setting says: its type, range and length.
template <typename T>
void ReadValue(const Reader& r, const YAML::Node& n, const std::string& key, const Setting& s, T& target) {
    using V = typename Unwrapped<T>::type;
    if constexpr (std::is_same_v<V, std::string>) {
        const std::string text = r.Text(n, key, s.maxBytes);
        r.Check(n, key, s, text);
        target = text;
    } else if constexpr (std::is_same_v<V, std::vector<std::string>>) {
        if (!n.IsSequence()) r.Fail(n, key, "must be a list");
        target.clear();
        for (size_t i = 0; i < n.size(); ++i) {
            const std::string item = key + "[" + std::to_string(i) + "]";
            target.push_back(r.Text(n[i], item, s.maxBytes));
            r.Check(n[i], item, s, target.back());
        }
    } else if constexpr (std::is_same_v<V, bool>) {
        target = r.Flag(n, key) != s.negatedInFile;
    } else if constexpr (std::is_integral_v<V>) {
        target = r.Integer<V>(n, key, s);
    } else {
        target = static_cast<V>(r.Number(n, key, s));
    }
}

void ReadSetting(const Reader& r, const YAML::Node& n, const std::string& name, const Setting& s, SiteConfig& site) {
    std::visit([&](auto member) { ReadValue(r, n, name, s, site.values.*member); }, s.field);
    site.given.insert(s.Flag());
}

// The keys of the table under `section.`, for the message about an unknown one.
std::string KeysUnder(const std::string& section) {
    std::string keys;
    for (const Setting& s : Settings()) {
        if (s.key.rfind(section + ".", 0) != 0) continue;
        keys += (keys.empty() ? "" : ", ") + s.key.substr(section.size() + 1);
    }
    return keys;
}

void ReadCamera(const Reader& r, const YAML::Node& node, size_t index, CameraConfig& camera) {
    const std::string where = "cameras[" + std::to_string(index) + "]";
    if (!node.IsMap()) r.Fail(node, where, "must be a mapping with at least 'input'");
    AreasReader areas(r.path(), where);
    // Named members rather than structured bindings: lambdas below capture them, which C++17
    // allows only for variables.
    for (const Reader::Entry& entry : r.Entries(node, where)) {
        const std::string& key = entry.key;
        const YAML::Node& v = entry.value;
        const std::string name = where + "." + key;
        const auto& keys = CameraSettings();
        if (AreasReader::Reads(key)) {
            areas.Read(key, v, camera.areas);
            continue;
        }
        const auto known = std::find_if(keys.begin(), keys.end(), [&](const CameraSetting& c) { return c.key == key; });
        if (known == keys.end()) {
            std::string list;
            for (const CameraSetting& c : keys) list += (list.empty() ? "" : ", ") + c.key;
            list += ", mask, zones, require";
            r.Fail(entry.keyNode, name, "unknown key (known: " + list + ")");
        }
        const Setting& setting = SettingFor(known->flag);
        std::visit([&](auto member) { ReadValue(r, v, name, setting, camera.*member); }, known->field);
        if (key == "id") camera.idOrigin = r.Where(v, name);
    }
    if (camera.input.empty()) r.Fail(node, where, "has no 'input'");
    areas.Finish(camera.areas);
}

// Relative paths in the file name files beside it, wherever the program is started from
// (a service's working folder is "/").
void ResolveAgainst(const fs::path& folder, SiteConfig& site) {
    auto resolvePath = [&](std::string& path) {
        if (path.empty() || path == "-" || IsLiveInput(path) || fs::path(path).is_absolute()) return;
        path = (folder / path).lexically_normal().string();
    };
    auto resolve = [&](auto& value) {
        using T = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<T, std::optional<std::string>>) {
            if (value) resolvePath(*value);
        } else if constexpr (std::is_same_v<T, std::string>) {
            resolvePath(value);
        }
    };
    for (const Setting& s : Settings()) {
        if (!s.path || !site.Has(s)) continue;
        std::visit([&](auto member) { resolve(site.values.*member); }, s.field);
    }
    for (auto& camera : site.cameras) {
        for (const CameraSetting& c : CameraSettings()) {
            if (!SettingFor(c.flag).path) continue;
            std::visit([&](auto member) { resolve(camera.*member); }, c.field);
        }
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
    for (const auto& [key, keyNode, v] : r.Entries(root, "")) {
        if (key == "cameras") {
            if (!v.IsSequence() || v.size() == 0) r.Fail(v, key, "must be a list of cameras");
            if (v.size() > kMaxCameras) {
                r.Fail(v, key, "more than " + std::to_string(kMaxCameras) + " cameras; run several processes instead");
            }
            site.cameras.resize(v.size());
            for (size_t i = 0; i < v.size(); ++i) ReadCamera(r, v[i], i, site.cameras[i]);
        } else if (key == "http" && v.IsMap()) {
            // The long form: the address and the page's other settings under one key.
            for (const auto& [sub, subNode, m] : r.Entries(v, "http")) {
                const std::string name = "http." + sub;
                const Setting* inner = sub == "address" ? &SettingFor("--http") : SettingForKey(name);
                if (!inner) {
                    const std::string more = KeysUnder("http");
                    r.Fail(subNode, name, "unknown key (known: address" + (more.empty() ? "" : ", " + more) + ")");
                }
                ReadSetting(r, m, name, *inner, site);
            }
            if (!site.Has(SettingFor("--http"))) r.Fail(v, key, "has no 'address'");
        } else if (const Setting* setting = key.find('.') == std::string::npos ? SettingForKey(key) : nullptr) {
            ReadSetting(r, v, key, *setting, site);
        } else if (key == "mqtt") {
            if (!v.IsMap()) r.Fail(v, key, "must be a mapping with 'host'");
            for (const auto& [sub, subNode, m] : r.Entries(v, "mqtt")) {
                const std::string name = "mqtt." + sub;
                const Setting* inner = SettingForKey(name);
                if (!inner) {
                    r.Fail(subNode, name,
                           "unknown key (known: " + KeysUnder("mqtt") +
                               "; the user and password come from WEAPON_DETECT_MQTT_USERNAME and "
                               "WEAPON_DETECT_MQTT_PASSWORD)");
                }
                ReadSetting(r, m, name, *inner, site);
            }
            if (!site.Has(SettingFor("--mqtt"))) r.Fail(v, key, "has no 'host'");
        } else {
            r.Fail(keyNode, key, "unknown key");
        }
    }
    if (site.cameras.empty()) r.Fail(root, "cameras", "the config file names no camera");
    // Ids that meet are refused with those of the command line, by the same rule
    // (UniqueCameraIds).
    ResolveAgainst(fs::path(path).parent_path(), site);
    return site;
}
}  // namespace

}  // namespace weapon_detect
