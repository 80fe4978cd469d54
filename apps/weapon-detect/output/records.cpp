#include "output/records.h"

namespace weapon_detect {
namespace {
nlohmann::ordered_json Box(const cv::Rect& box) {
    return {{"x", box.x}, {"y", box.y}, {"width", box.width}, {"height", box.height}};
}
}  // namespace

std::string RecordLine(const nlohmann::ordered_json& record) {
    return record.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

nlohmann::ordered_json FrameRecord(const std::string& camera, long long frameIndex, double time,
                           const std::vector<CustomObject>& detections) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const CustomObject& d : detections) {
        list.push_back({{"class_id", d.classId},
                        {"class_name", d.className},
                        {"confidence", d.confidence},
                        {"box", Box(d.box)},
                        {"info", d.extraInfo}});
    }
    return {{"type", "frame"}, {"camera", camera}, {"frame", frameIndex}, {"time", time}, {"detections", list}};
}

nlohmann::ordered_json EventRecord(const std::string& camera, const AlarmEvent& event, const std::string& snapshot) {
    nlohmann::ordered_json record = {{"type", "event"},
                             {"camera", camera},
                             {"start_time", event.startTime},
                             {"end_time", event.endTime},
                             {"first_frame", event.firstFrame},
                             {"last_frame", event.lastFrame},
                             {"detections", event.detections},
                             {"class_name", event.className},
                             {"best_confidence", event.bestConfidence},
                             {"best_box", Box(event.bestBox)}};
    record["snapshot"] = snapshot.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(snapshot);
    return record;
}

}  // namespace weapon_detect
