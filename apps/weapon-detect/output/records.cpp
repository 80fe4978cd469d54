#include "output/records.h"

#include <cmath>

namespace weapon_detect {

double Seconds(double seconds) { return std::round(seconds * 1000.0) / 1000.0; }

namespace {
nlohmann::ordered_json Box(const cv::Rect& box) {
    return {{"x", box.x}, {"y", box.y}, {"width", box.width}, {"height", box.height}};
}
}  // namespace

std::string RecordLine(const nlohmann::ordered_json& record) {
    return record.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

nlohmann::ordered_json FrameRecord(const std::string& camera, long long frameIndex, double time,
                                   const std::vector<CustomObject>& detections, double delay,
                                   const std::vector<CustomObject>& ignored, const std::vector<const char*>& reasons) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    auto add = [&](const CustomObject& d, const char* reason) {
        list.push_back({{"class_id", d.classId},
                        {"class_name", d.className},
                        {"confidence", d.confidence},
                        {"box", Box(d.box)},
                        {"info", d.extraInfo}});
        if (reason) list.back()["ignored"] = reason;
    };
    for (const CustomObject& d : detections) add(d, nullptr);
    for (size_t i = 0; i < ignored.size(); ++i) add(ignored[i], i < reasons.size() ? reasons[i] : "ignored");
    nlohmann::ordered_json record = {{"type", "frame"}, {"camera", camera}, {"frame", frameIndex}, {"time", Seconds(time)}};
    if (delay >= 0.0) record["delay"] = Seconds(delay);
    record["detections"] = std::move(list);
    return record;
}

nlohmann::ordered_json EventRecord(const std::string& camera, const AlarmEvent& event, const std::string& snapshot,
                                   const char* phase) {
    nlohmann::ordered_json record = {{"type", "event"}, {"camera", camera}};
    if (phase) record["phase"] = phase;
    record.update(nlohmann::ordered_json{{"start_time", Seconds(event.startTime)},
                                         {"end_time", Seconds(event.endTime)},
                                         {"first_frame", event.firstFrame},
                                         {"last_frame", event.lastFrame},
                                         {"detections", event.detections},
                                         {"class_name", event.className},
                                         {"best_confidence", event.bestConfidence},
                                         {"best_box", Box(event.bestBox)},
                                         {"zones", event.zones}});
    record["snapshot"] = snapshot.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(snapshot);
    return record;
}

nlohmann::ordered_json CameraRecord(const std::string& camera, const std::string& state, double time,
                                    const std::string& reason) {
    return {{"type", "camera"}, {"camera", camera}, {"state", state}, {"time", Seconds(time)}, {"reason", reason}};
}

nlohmann::ordered_json OutputErrorRecord(const std::string& camera, double time, const std::string& output,
                                         const std::string& reason) {
    return {{"type", "error"}, {"camera", camera}, {"time", Seconds(time)}, {"output", output}, {"reason", reason}};
}

nlohmann::ordered_json InputErrorRecord(const std::string& camera, double time, const std::string& input,
                                        const std::string& reason) {
    return {{"type", "error"}, {"camera", camera}, {"time", Seconds(time)}, {"input", input}, {"reason", reason}};
}

nlohmann::ordered_json StatsRecord(const std::string& camera, double time, long long frames, long long analysed,
                                   long long dropped, long long decoded, double fps, double cameraFps, double delay) {
    nlohmann::ordered_json record = {{"type", "stats"},       {"camera", camera},
                                     {"time", Seconds(time)}, {"frames", frames},
                                     {"analysed", analysed},  {"dropped", dropped},
                                     {"decoded", decoded},    {"fps", std::round(fps * 10) / 10}};
    if (cameraFps > 0) record["camera_fps"] = std::round(cameraFps * 10) / 10;
    if (delay >= 0) record["delay"] = Seconds(delay);
    return record;
}

}  // namespace weapon_detect
