// The progress line on standard error, redrawn twice a second while streams run.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "stream_worker.h"

namespace weapon_detect {

class ProgressLine {
public:
    // Draws only when `enabled` (standard error is a terminal and not --quiet).
    ProgressLine(const std::vector<std::unique_ptr<StreamWorker>>& workers, bool enabled);
    ~ProgressLine();  // stops drawing and ends the line

private:
    void Draw(double seconds);

    const std::vector<std::unique_ptr<StreamWorker>>& workers_;
    bool enabled_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_;
};

}  // namespace weapon_detect
