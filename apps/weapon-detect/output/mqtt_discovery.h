// Retained discovery configs for home-automation hubs that follow the common MQTT discovery
// convention (<discovery prefix>/<component>/<node id>/<object id>/config). Per camera:
//   a binary sensor "Weapon detected" on <prefix>/<camera>/weapon ("ON" / "OFF"), with the
//     last alarm's class, score and links as attributes (json_attributes_topic
//     <prefix>/<camera>/attributes, retained),
//   a camera entity showing <prefix>/<camera>/snapshot (the last alarm's JPEG),
//   an event entity "Alarm" fed by <prefix>/<camera>/events, its event types "start",
//     "update" and "end" (the message's phase), the message's fields as the event's attributes,
// all available while <prefix>/available is "online" and the camera's
// <prefix>/<camera>/state is "online". Each names the device (the camera: its sw_version and,
// with a page, configuration_url) and the origin (this program: name, sw_version and, with a
// page, support_url).
#pragma once

#include <string>
#include <vector>

namespace weapon_detect {

struct RetainedMessage {
    std::string topic;
    std::string payload;
};

struct DiscoveryInfo {
    std::string version;           // this program's version; empty: the one it was built as
    std::string configurationUrl;  // the page, empty for none
};

std::vector<RetainedMessage> DiscoveryConfigs(const std::string& discoveryPrefix, const std::string& topicPrefix,
                                              const std::vector<std::string>& cameraIds,
                                              const DiscoveryInfo& info = {});

// A camera id or prefix as a discovery node or object id: letters, digits, '_' and '-'.
std::string DiscoveryId(const std::string& text);

}  // namespace weapon_detect
