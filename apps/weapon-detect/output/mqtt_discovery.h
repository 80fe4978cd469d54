// Retained discovery configs for home-automation hubs that follow the common MQTT discovery
// convention (<discovery prefix>/<component>/<node id>/<object id>/config). Per camera:
//   a binary sensor "Weapon detected" on <prefix>/<camera>/weapon ("ON" / "OFF"),
//   a camera entity showing <prefix>/<camera>/snapshot (the last alarm's JPEG),
// both available while <prefix>/available is "online" and the camera's
// <prefix>/<camera>/state is "online".
#pragma once

#include <string>
#include <vector>

namespace weapon_detect {

struct RetainedMessage {
    std::string topic;
    std::string payload;
};

std::vector<RetainedMessage> DiscoveryConfigs(const std::string& discoveryPrefix, const std::string& topicPrefix,
                                              const std::vector<std::string>& cameraIds);

// A camera id or prefix as a discovery node or object id: letters, digits, '_' and '-'.
std::string DiscoveryId(const std::string& text);

}  // namespace weapon_detect
