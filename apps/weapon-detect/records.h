// The JSON Lines records: one per analysed frame with detections, one per alarm event.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "alarm_events.h"
#include "zrv/ZRVCustomClass.h"

namespace weapon_detect {

nlohmann::ordered_json FrameRecord(const std::string& camera, long long frameIndex, double time,
                           const std::vector<CustomObject>& detections);
// `snapshot` is the path of the JPEG written for the event, or empty.
nlohmann::ordered_json EventRecord(const std::string& camera, const AlarmEvent& event, const std::string& snapshot);

}  // namespace weapon_detect
