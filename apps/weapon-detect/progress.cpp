#include "progress.h"

#include <chrono>
#include <cstdio>

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
    long long frames = 0, detections = 0, events = 0;
    for (const auto& worker : workers_) {
        frames += worker->progress().frames;
        detections += worker->progress().detections;
        events += worker->progress().events;
    }
    std::fprintf(stderr, "\r%lld frames  %.1f fps  %lld detections  %lld events   ", frames,
                 seconds > 0 ? frames / seconds : 0.0, detections, events);
    std::fflush(stderr);
}

}  // namespace weapon_detect
