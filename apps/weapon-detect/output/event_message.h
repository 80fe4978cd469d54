// The event messages that leave the program (the MQTT events topic, web hook bodies): the
// event's record (records.h, with its snapshot and clip file paths) plus what a receiver
// needs to show and fetch it:
//   "event_id"    the event table's id (the page and the API name the event by it)
//   "start_utc"   ISO 8601 UTC with milliseconds, when the event began
//   "end_utc"     when it ended: null until the "end" message
//   "clip_state"  "none", "recording", "ready", "failed": an end message usually comes while
//                 the clip's post-roll is still being recorded, so its link answers later
//   "links"       {"event", "snapshot", "clip"}: absolute under --public-url, else relative
//                 to the page ("/#event-ID", "/api/events/ID/snapshot", "/api/events/ID/clip");
//                 "clip" is null when the event has no clip
// JSON Lines records never carry these: they stay as they were.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace weapon_detect {

struct EventMessageInfo {
    long long id = 0;  // 0: no id (then neither id nor links)
    long long startMs = 0;
    std::optional<long long> endMs;
    std::string clipState = "none";
    std::string publicUrl;  // empty: links relative to the page
};

// `record` with the fields above, "event_id", "start_utc" and "end_utc" right after "phase".
nlohmann::ordered_json EventMessage(const nlohmann::ordered_json& record, const EventMessageInfo& info);

// The public URL without a trailing '/'; throws std::invalid_argument unless it is an http://
// or https:// URL with a host, no user or password, no query and no fragment.
std::string CheckPublicUrl(const std::string& url);

}  // namespace weapon_detect
