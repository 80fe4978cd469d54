// What the page and the metrics know of one camera beyond its worker's counters: the
// histograms of delay and detector time, reconnections, rates, why it is offline or failed,
// its open alarms, and its live view (LiveView).
//
// Threads: Analysed() from the camera's worker, StateChanged() from its reader, SetLive()
// from its clip recorder, SetFailed() and SetFinished() from the worker or the main thread,
// EventOpened()/EventClosed() from the worker; every reader from any thread (the web
// server's). The listener is set before any of them runs; it is called on the thread that
// changed the state, after the change, and must not block.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "stream_worker.h"
#include "web/event_table.h"
#include "web/histogram.h"
#include "web/live_view.h"

namespace weapon_detect {

class CameraStatus {
public:
    using Listener = std::function<void(const CameraStatus& camera)>;

    // `index` is the camera's place in the page's list (its URLs); `liveFps` and `viewers` bound
    // its live view (LiveView).
    CameraStatus(std::string id, const StreamProgress& progress, size_t index = 0, int liveFps = 5,
                 ViewerBound* viewers = nullptr);

    // The camera's masks and zones as the API shows them (CameraAreas::Json); set before the
    // page serves.
    void SetAreas(nlohmann::ordered_json areas) { areas_ = std::move(areas); }

    // Told of every change of state(): online, offline, failed, finished.
    void SetListener(Listener listener) { listener_ = std::move(listener); }

    // One analysed frame: capture-to-result delay (negative for files) and the seconds the
    // detector took for it.
    void Analysed(double delaySeconds, double detectorSeconds);
    // The input came back (`online`) or went away, for `reason`.
    void StateChanged(bool online, const std::string& reason = {});
    void SetLive(Jpeg jpeg) { live_->Set(std::move(jpeg)); }
    // The input ended: the live view ends too.
    void SetFinished();
    // The camera failed for `reason`.
    void SetFailed(const std::string& reason);
    void EventOpened() { ++openEvents_; }
    void EventClosed() { --openEvents_; }

    const std::string& id() const { return id_; }
    size_t index() const { return index_; }
    const StreamProgress& progress() const { return progress_; }
    // "online", "offline", "failed", or "finished" once its input ended.
    std::string state() const;
    // Why it is offline or failed; empty otherwise.
    std::string reason() const;
    long long openEvents() const { return openEvents_; }
    // The camera as GET /api/cameras and the "camera" messages show it.
    nlohmann::ordered_json Json() const;
    // The newest still; asks for stills (LiveView::Still).
    Jpeg live() const { return live_->Still(std::chrono::milliseconds(1000)); }
    LiveView& liveView() const { return *live_; }
    // Over the last second or so; 0 once the input ended.
    double analysedFps() const { return finished_ ? 0.0 : analysedFps_.load(); }
    double droppedFps() const { return finished_ ? 0.0 : droppedFps_.load(); }
    long long reconnections() const { return reconnections_; }
    const Histogram& delay() const { return delay_; }
    const Histogram& detectorTime() const { return detectorTime_; }

private:
    void Changed();

    std::string id_;
    size_t index_;
    const StreamProgress& progress_;
    Histogram delay_;
    Histogram detectorTime_;
    std::atomic<long long> reconnections_{0};
    std::atomic<bool> wasOffline_{false};
    std::atomic<bool> finished_{false};
    std::atomic<long long> openEvents_{0};
    std::atomic<double> analysedFps_{0.0}, droppedFps_{0.0};
    // The rate window, the worker's own.
    std::chrono::steady_clock::time_point windowStart_ = std::chrono::steady_clock::now();
    long long windowAnalysed_ = 0, windowDropped_ = 0;
    mutable std::mutex reasonMutex_;
    std::string reason_;
    std::string lastState_;  // under reasonMutex_: told to the listener
    Listener listener_;
    nlohmann::ordered_json areas_;  // null: none set
    std::unique_ptr<LiveView> live_;
};

}  // namespace weapon_detect
