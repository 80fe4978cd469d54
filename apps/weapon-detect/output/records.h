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
// One record as one line of JSON, without the end of line. Text that is not valid UTF-8
// (a Latin-1 file name or class name) is written with replacement characters.
std::string RecordLine(const nlohmann::ordered_json& record);
// `snapshot` is the path of the JPEG written for the event, or empty.
nlohmann::ordered_json EventRecord(const std::string& camera, const AlarmEvent& event, const std::string& snapshot);

}  // namespace weapon_detect
