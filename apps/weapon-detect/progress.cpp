#include "progress.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

namespace weapon_detect {

ProgressLine::ProgressLine(const std::vector<std::unique_ptr<StreamWorker>>& workers, bool enabled)
    : workers_(workers), enabled_(enabled) {
    if (!enabled_) return;
    thread_ = std::thread([this] {
        const auto start = std::chrono::steady_clock::now();
        std::unique_lock<std::mutex> lock(mutex_);
        while (!wake_.wait_for(lock, std::chrono::milliseconds(500), [this] { return done_; })) {
            Draw(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
    });
}

ProgressLine::~ProgressLine() {
    if (!enabled_) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
    }
    wake_.notify_all();
    thread_.join();
    std::fputs("\n", stderr);
}

void ProgressLine::Draw(double seconds) {
    // Files with a known length: share done and time left. Live inputs: the rate analysed
    // against the camera's, frames dropped and the current delay.
    std::string line;
    char part[160];
    for (const auto& worker : workers_) {
        const StreamProgress& p = worker->progress();
        const long long total = p.total;
        if (!p.online) {
            std::snprintf(part, sizeof part, "%s: offline", worker->settings().cameraId.c_str());
        } else if (worker->settings().realtime) {
            std::snprintf(part, sizeof part, "%s: %.1f/%.1f fps, %lld dropped, delay %.2f s",
                          worker->settings().cameraId.c_str(), seconds > 0 ? p.analysed / seconds : 0.0,
                          static_cast<double>(p.cameraFps), static_cast<long long>(p.dropped),
                          static_cast<double>(p.delay));
        } else if (total > 0) {
            const double done = std::min(1.0, static_cast<double>(p.frames) / static_cast<double>(total));
            const double left = done > 0 ? seconds * (1 - done) / done : 0.0;
            std::snprintf(part, sizeof part, "%s: %.0f%%, %.0f s left", worker->settings().cameraId.c_str(),
                          done * 100, left);
        } else {
            std::snprintf(part, sizeof part, "%s: %lld frames", worker->settings().cameraId.c_str(),
                          static_cast<long long>(p.frames));
        }
        if (!line.empty()) line += " | ";
        line += part;
    }
    long long detections = 0, events = 0;
    for (const auto& worker : workers_) {
        detections += worker->progress().detections;
        events += worker->progress().events;
    }
    std::snprintf(part, sizeof part, " | %lld detections, %lld events", detections, events);
    line += part;
    if (line.size() > 200) line.resize(200);
    std::fprintf(stderr, "\r%s\033[K", line.c_str());
    std::fflush(stderr);
}

}  // namespace weapon_detect
