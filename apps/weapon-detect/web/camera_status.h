// What the page and the metrics know of one camera beyond its worker's counters: the
// histograms of delay and detector time, reconnections, rates, the newest live JPEG.
//
// Threads: Analysed() from the camera's worker, StateChanged() from its reader, SetLive()
// from its clip recorder; every reader from any thread (the web server's).
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>

#include "stream_worker.h"
#include "web/event_table.h"
#include "web/histogram.h"

namespace weapon_detect {

class CameraStatus {
public:
    CameraStatus(std::string id, const StreamProgress& progress);

    // One analysed frame: capture-to-result delay (negative for files) and the seconds the
    // detector took for it.
    void Analysed(double delaySeconds, double detectorSeconds);
    void StateChanged(bool online);
    void SetLive(Jpeg jpeg);
    void SetFinished() { finished_ = true; }

    const std::string& id() const { return id_; }
    const StreamProgress& progress() const { return progress_; }
    // "online", "offline", "failed", or "finished" once its input ended.
    std::string state() const;
    Jpeg live() const;
    // Over the last second or so; 0 once the input ended.
    double analysedFps() const { return finished_ ? 0.0 : analysedFps_.load(); }
    double droppedFps() const { return finished_ ? 0.0 : droppedFps_.load(); }
    long long reconnections() const { return reconnections_; }
    const Histogram& delay() const { return delay_; }
    const Histogram& detectorTime() const { return detectorTime_; }

private:
    std::string id_;
    const StreamProgress& progress_;
    Histogram delay_;
    Histogram detectorTime_;
    std::atomic<long long> reconnections_{0};
    std::atomic<bool> wasOffline_{false};
    std::atomic<bool> finished_{false};
    std::atomic<double> analysedFps_{0.0}, droppedFps_{0.0};
    // The rate window, the worker's own.
    std::chrono::steady_clock::time_point windowStart_ = std::chrono::steady_clock::now();
    long long windowAnalysed_ = 0, windowDropped_ = 0;
    mutable std::mutex liveMutex_;
    Jpeg live_;
};

}  // namespace weapon_detect
