#include "web/camera_status.h"

#include <cmath>

#include "output/records.h"

namespace weapon_detect {

CameraStatus::CameraStatus(std::string id, const StreamProgress& progress, size_t index, int liveFps,
                           ViewerBound* viewers)
    : id_(std::move(id)),
      index_(index),
      progress_(progress),
      delay_({0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10}),
      detectorTime_({0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5}),
      live_(std::make_unique<LiveView>(liveFps, viewers)) {}

void CameraStatus::Analysed(double delaySeconds, double detectorSeconds) {
    if (delaySeconds >= 0) delay_.Observe(delaySeconds);
    detectorTime_.Observe(detectorSeconds);
    const auto now = std::chrono::steady_clock::now();
    const double window = std::chrono::duration<double>(now - windowStart_).count();
    if (window >= 1.0) {
        const long long analysed = progress_.analysed, dropped = progress_.dropped;
        analysedFps_ = (analysed - windowAnalysed_) / window;
        droppedFps_ = (dropped - windowDropped_) / window;
        windowAnalysed_ = analysed;
        windowDropped_ = dropped;
        windowStart_ = now;
    }
}

void CameraStatus::StateChanged(bool online, const std::string& reason) {
    if (online && wasOffline_.exchange(false)) ++reconnections_;
    if (!online) wasOffline_ = true;
    {
        const std::lock_guard<std::mutex> lock(reasonMutex_);
        reason_ = online ? std::string() : reason;
    }
    Changed();
}

void CameraStatus::SetFinished() {
    if (finished_.exchange(true)) return;
    live_->Close();
    Changed();
}

void CameraStatus::SetFailed(const std::string& reason) {
    {
        const std::lock_guard<std::mutex> lock(reasonMutex_);
        reason_ = reason;
    }
    Changed();
}

// Tells the listener once per state; a reason that changes within a state (offline again,
// for another reason) is told too.
void CameraStatus::Changed() {
    if (!listener_) return;
    const std::string now = state() + "\n" + reason();
    {
        const std::lock_guard<std::mutex> lock(reasonMutex_);
        if (now == lastState_) return;
        lastState_ = now;
    }
    listener_(*this);
}

std::string CameraStatus::state() const {
    if (progress_.failed) return "failed";
    if (finished_) return "finished";
    return progress_.online ? "online" : "offline";
}

std::string CameraStatus::reason() const {
    const std::string s = state();
    if (s == "online" || s == "finished") return {};
    const std::lock_guard<std::mutex> lock(reasonMutex_);
    return reason_;
}

namespace {
nlohmann::ordered_json Part(const nlohmann::ordered_json& areas, const char* key) {
    return areas.is_object() && areas.contains(key) ? areas[key] : nlohmann::ordered_json::array();
}
}  // namespace

nlohmann::ordered_json CameraStatus::Json() const {
    const StreamProgress& p = progress_;
    const std::string base = "/api/cameras/" + std::to_string(index_);
    const long long open = std::max(0LL, openEvents_.load());
    return {{"index", index_},
            {"id", id_},
            {"state", state()},
            {"reason", reason()},
            {"frames", p.frames.load()},
            {"analysed", p.analysed.load()},
            {"dropped", p.dropped.load()},
            {"analysed_fps", std::round(analysedFps() * 10) / 10},
            {"dropped_fps", std::round(droppedFps() * 10) / 10},
            {"camera_fps", std::round(p.cameraFps.load() * 10) / 10},
            {"delay", Seconds(p.delay.load())},
            {"events", p.events.load() + open},
            {"open_events", open},
            {"reconnections", reconnections()},
            {"live", base + "/live.jpg"},
            {"live_mjpeg", base + "/live.mjpeg"},
            // In shares of the frame (x, y from 0 to 1), so the page can draw them at any size.
            {"mask", Part(areas_, "mask")},
            {"zones", Part(areas_, "zones")},
            {"require", Part(areas_, "require")}};
}

}  // namespace weapon_detect
