#include "output/mqtt_discovery.h"

#include <cctype>

#include <nlohmann/json.hpp>

#include "output/output_file.h"
#include "output/records.h"

namespace weapon_detect {

std::string DiscoveryId(const std::string& text) {
    std::string id;
    for (const char c : text) {
        const bool plain = std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-';
        id += plain && static_cast<unsigned char>(c) < 0x80 ? c : '_';
    }
    return id.empty() ? "_" : id;
}

std::vector<RetainedMessage> DiscoveryConfigs(const std::string& discoveryPrefix, const std::string& topicPrefix,
                                              const std::vector<std::string>& cameraIds, const DiscoveryInfo& info) {
    std::vector<RetainedMessage> messages;
    const std::string node = DiscoveryId(topicPrefix);
    const std::string version = info.version.empty() ? ZRV_VERSION : info.version;
    nlohmann::ordered_json origin = {{"name", "weapon-detect"}, {"sw_version", version}};
    if (!info.configurationUrl.empty()) origin["support_url"] = info.configurationUrl;
    for (const std::string& camera : cameraIds) {
        // The same topic level as the publisher's: the camera id spelt as in file names.
        const std::string base = topicPrefix + "/" + FileNameFor(camera);
        const std::string object = DiscoveryId(camera);
        nlohmann::ordered_json device = {{"identifiers", {node + "_" + object}},
                                         {"name", camera},
                                         {"model", "weapon-detect"},
                                         {"sw_version", version}};
        if (!info.configurationUrl.empty()) device["configuration_url"] = info.configurationUrl;
        const nlohmann::ordered_json availability = nlohmann::ordered_json::array(
            {{{"topic", topicPrefix + "/available"}},
             {{"topic", base + "/state"}, {"value_template", "{{ 'online' if value == 'online' else 'offline' }}"}}});
        nlohmann::ordered_json sensor = {{"name", "Weapon detected"},
                                         {"unique_id", node + "_" + object + "_weapon"},
                                         {"state_topic", base + "/weapon"},
                                         {"payload_on", "ON"},
                                         {"payload_off", "OFF"},
                                         {"device_class", "safety"},
                                         {"json_attributes_topic", base + "/attributes"},
                                         {"availability", availability},
                                         {"availability_mode", "all"},
                                         {"device", device},
                                         {"origin", origin}};
        nlohmann::ordered_json image = {{"name", "Last alarm"},
                                        {"unique_id", node + "_" + object + "_snapshot"},
                                        {"topic", base + "/snapshot"},
                                        {"availability", availability},
                                        {"availability_mode", "all"},
                                        {"device", device},
                                        {"origin", origin}};
        // The events topic's messages as they are, their phase as the event type.
        nlohmann::ordered_json alarm = {{"name", "Alarm"},
                                        {"unique_id", node + "_" + object + "_alarm"},
                                        {"state_topic", base + "/events"},
                                        {"event_types", {"start", "update", "end"}},
                                        {"value_template",
                                         "{{ dict(value_json, event_type=value_json.phase) | to_json }}"},
                                        {"availability", availability},
                                        {"availability_mode", "all"},
                                        {"device", device},
                                        {"origin", origin}};
        messages.push_back(
            {discoveryPrefix + "/binary_sensor/" + node + "/" + object + "_weapon/config", RecordLine(sensor)});
        messages.push_back(
            {discoveryPrefix + "/camera/" + node + "/" + object + "_snapshot/config", RecordLine(image)});
        messages.push_back({discoveryPrefix + "/event/" + node + "/" + object + "_alarm/config", RecordLine(alarm)});
    }
    return messages;
}

}  // namespace weapon_detect
