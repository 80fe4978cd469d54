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
                                              const std::vector<std::string>& cameraIds) {
    std::vector<RetainedMessage> messages;
    const std::string node = DiscoveryId(topicPrefix);
    for (const std::string& camera : cameraIds) {
        // The same topic level as the publisher's: the camera id spelt as in file names.
        const std::string base = topicPrefix + "/" + FileNameFor(camera);
        const std::string object = DiscoveryId(camera);
        const nlohmann::ordered_json device = {{"identifiers", {node + "_" + object}},
                                               {"name", camera},
                                               {"model", "weapon-detect"}};
        const nlohmann::ordered_json availability = nlohmann::ordered_json::array(
            {{{"topic", topicPrefix + "/available"}},
             {{"topic", base + "/state"}, {"value_template", "{{ 'online' if value == 'online' else 'offline' }}"}}});
        nlohmann::ordered_json sensor = {{"name", "Weapon detected"},
                                         {"unique_id", node + "_" + object + "_weapon"},
                                         {"state_topic", base + "/weapon"},
                                         {"payload_on", "ON"},
                                         {"payload_off", "OFF"},
                                         {"device_class", "safety"},
                                         {"availability", availability},
                                         {"availability_mode", "all"},
                                         {"device", device}};
        nlohmann::ordered_json image = {{"name", "Last alarm"},
                                        {"unique_id", node + "_" + object + "_snapshot"},
                                        {"topic", base + "/snapshot"},
                                        {"availability", availability},
                                        {"availability_mode", "all"},
                                        {"device", device}};
        messages.push_back({discoveryPrefix + "/binary_sensor/" + node + "/" + object + "_weapon/config",
                            RecordLine(sensor)});
        messages.push_back(
            {discoveryPrefix + "/camera/" + node + "/" + object + "_snapshot/config", RecordLine(image)});
    }
    return messages;
}

}  // namespace weapon_detect
