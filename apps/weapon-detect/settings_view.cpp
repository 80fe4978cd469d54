#include "settings_view.h"

#include <type_traits>

#include "secrets.h"

namespace weapon_detect {
namespace {

template <typename T>
nlohmann::ordered_json Value(const T& value) {
    if constexpr (std::is_same_v<T, std::string>) {
        return MaskSecrets(value);
    } else if constexpr (std::is_same_v<T, std::vector<std::string>>) {
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (const std::string& item : value) list.push_back(MaskSecrets(item));
        return list;
    } else if constexpr (std::is_same_v<T, std::optional<bool>> || std::is_same_v<T, std::optional<double>>) {
        return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json();
    } else {
        return value;
    }
}

}  // namespace

nlohmann::ordered_json EffectiveSettings(const Options& options) {
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    for (const Setting& s : Settings()) {
        const std::string flag = s.Flag();
        const std::string name = flag.rfind("--", 0) == 0 ? flag.substr(2) : flag;
        std::visit([&](auto member) { out[name] = Value(options.*member); }, s.field);
    }
    nlohmann::ordered_json cameras = nlohmann::ordered_json::array();
    for (const CameraConfig& c : options.cameras) {
        nlohmann::ordered_json camera = {{"input", MaskSecrets(c.input)}, {"id", c.id}};
        if (c.threshold) camera["threshold"] = *c.threshold;
        if (c.stride) camera["stride"] = *c.stride;
        if (c.models) camera["models"] = *c.models;
        if (c.video) camera["video"] = *c.video;
        if (c.groundTruth) camera["ground-truth"] = *c.groundTruth;
        cameras.push_back(std::move(camera));
    }
    out["cameras"] = std::move(cameras);
    nlohmann::ordered_json users = nlohmann::ordered_json::array();
    for (const WebUser& u : options.users) users.push_back({{"name", u.name}, {"role", u.role}});
    out["users"] = std::move(users);
    return out;
}

}  // namespace weapon_detect
