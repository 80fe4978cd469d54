// The JSON Lines records: one per analysed frame with detections, one per alarm event.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "alarm_events.h"
#include "zrv/ZRVCustomClass.h"

namespace weapon_detect {

// Seconds rounded to the millisecond, as every time in the records is.
double Seconds(double seconds);

// `delay` is the time from capture to result, for live inputs; negative leaves it out.
// `ignored` are detections that raise no alarm (a mask, outside the required zones): listed
// after the others, each marked "ignored" with its reason from `reasons` (same order).
nlohmann::ordered_json FrameRecord(const std::string& camera, long long frameIndex, double time,
                                   const std::vector<CustomObject>& detections, double delay = -1.0,
                                   const std::vector<CustomObject>& ignored = {},
                                   const std::vector<const char*>& reasons = {});
// One record as one line of JSON, without the end of line. Text that is not valid UTF-8
// (a Latin-1 file name or class name) is written with replacement characters.
std::string RecordLine(const nlohmann::ordered_json& record);
// `snapshot` is the path of the JPEG written for the event, or empty.
// `phase` ("start", "update", "end") for event messages; null for the record of an ended
// event in the JSON Lines.
nlohmann::ordered_json EventRecord(const std::string& camera, const AlarmEvent& event, const std::string& snapshot,
                                   const char* phase = nullptr);
// A camera going "online", "offline" or "failed", with the reason.
nlohmann::ordered_json CameraRecord(const std::string& camera, const std::string& state, double time,
                                    const std::string& reason);
// An output of one camera that cannot be written (its analysis goes on without it).
nlohmann::ordered_json OutputErrorRecord(const std::string& camera, double time, const std::string& output,
                                         const std::string& reason);
// An input that ended before its end (a truncated video, a missing sequence frame).
nlohmann::ordered_json InputErrorRecord(const std::string& camera, double time, const std::string& input,
                                        const std::string& reason);
// Periodic counts of one camera: frames read, analysed, dropped and decoded, rates and delay.
nlohmann::ordered_json StatsRecord(const std::string& camera, double time, long long frames, long long analysed,
                                   long long dropped, long long decoded, double fps, double cameraFps, double delay);

}  // namespace weapon_detect
