#include "web/camera_status.h"

namespace weapon_detect {

CameraStatus::CameraStatus(std::string id, const StreamProgress& progress)
    : id_(std::move(id)), progress_(progress), delay_({0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10}),
      detectorTime_({0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5}) {}

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

void CameraStatus::StateChanged(bool online) {
    if (online && wasOffline_.exchange(false)) ++reconnections_;
    if (!online) wasOffline_ = true;
}

void CameraStatus::SetLive(Jpeg jpeg) {
    const std::lock_guard<std::mutex> lock(liveMutex_);
    live_ = std::move(jpeg);
}

Jpeg CameraStatus::live() const {
    const std::lock_guard<std::mutex> lock(liveMutex_);
    return live_;
}

std::string CameraStatus::state() const {
    if (progress_.failed) return "failed";
    if (finished_) return "finished";
    return progress_.online ? "online" : "offline";
}

}  // namespace weapon_detect
