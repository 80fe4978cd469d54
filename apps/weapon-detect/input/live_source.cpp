#include "input/live_source.h"

#include <algorithm>

#include <opencv2/videoio.hpp>

#include "input/video_source.h"

namespace weapon_detect {
namespace {
std::atomic<int> g_leftBehind{0};
}  // namespace

struct LiveSource::Shared {
    std::string input;
    LiveSettings settings;
    Clock::time_point start;
    StateCallback onState;

    std::mutex mutex;
    std::condition_variable changed;  // a new frame, giving up, or a stop
    bool stop = false;
    bool finished = false;
    LiveFrame latest;        // the newest frame, not yet taken when `fresh`
    bool fresh = false;
    std::atomic<long long> dropped{0};
    std::atomic<long long> read{0};
    double fps = 0.0;        // smoothed rate of arrival
    cv::Size size;

    double Now() const { return std::chrono::duration<double>(Clock::now() - start).count(); }

    // Sleeps `seconds` unless stopped first; false when stopped.
    bool Pause(double seconds) {
        std::unique_lock<std::mutex> lock(mutex);
        return !changed.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return stop; });
    }
    bool Stopped() {
        std::lock_guard<std::mutex> lock(mutex);
        return stop;
    }
};

LiveSource::LiveSource(std::string input, LiveSettings settings, Clock::time_point start, StateCallback onState)
    : shared_(std::make_shared<Shared>()) {
    shared_->input = std::move(input);
    shared_->settings = settings;
    shared_->start = start;
    shared_->onState = std::move(onState);
    thread_ = std::thread(ReadLoop, shared_);
}

LiveSource::~LiveSource() {
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->stop = true;
        shared_->onState = nullptr;  // nobody listens any more
    }
    shared_->changed.notify_all();
    // The reader may be blocked in the input: give it a second, then leave it behind with
    // its own share of the state.
    const auto deadline = Clock::now() + std::chrono::seconds(1);
    while (Clock::now() < deadline) {
        {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            if (shared_->finished) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->finished) {
        thread_.join();
    } else {
        thread_.detach();
        ++g_leftBehind;
    }
}

int LiveSource::LeftBehind() { return g_leftBehind; }

bool LiveSource::Take(LiveFrame& frame, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(shared_->mutex);
    if (!shared_->changed.wait_for(lock, wait, [&] { return shared_->fresh || shared_->finished; })) return false;
    if (!shared_->fresh) return false;
    std::swap(frame, shared_->latest);
    shared_->fresh = false;
    return true;
}

bool LiveSource::finished() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->finished && !shared_->fresh;
}

long long LiveSource::dropped() const { return shared_->dropped; }
long long LiveSource::read() const { return shared_->read; }

double LiveSource::cameraFps() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->fps;
}

cv::Size LiveSource::size() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->size;
}

void LiveSource::ReadLoop(std::shared_ptr<Shared> s) {
    auto report = [&](bool online, const std::string& reason) {
        StateCallback callback;
        {
            std::lock_guard<std::mutex> lock(s->mutex);
            callback = s->onState;
        }
        if (callback) callback(online, reason, s->Now());
    };
    // Opening is bounded by ten seconds whatever the stall timeout: OpenCV opens FFmpeg
    // inputs under one process-wide lock, so a camera hanging in open holds up every other
    // camera's opening (and reconnection) meanwhile.
    const int readTimeoutMs = static_cast<int>(std::clamp(s->settings.stallSeconds, 0.1, 3600.0) * 1000);
    const int openTimeoutMs = std::min(readTimeoutMs, 10000);
    double backoff = s->settings.firstBackoff;
    int failures = 0;
    bool online = false;
    cv::Mat decoding;  // the reader's own buffer, swapped with the newest frame
    while (!s->Stopped()) {
        cv::VideoCapture capture;
        std::string reason;
        const bool opened = OpenCapture(capture, s->input, openTimeoutMs, readTimeoutMs) && !s->Stopped();
        if (opened) {
            double last = s->Now();
            while (!s->Stopped()) {
                if (!capture.read(decoding) || decoding.empty()) {
                    reason = s->Now() - last >= s->settings.stallSeconds * 0.9 ? "no frame for " +
                             std::to_string(static_cast<int>(s->settings.stallSeconds)) + " s"
                                                                               : "end of stream or read error";
                    break;
                }
                if (!online) {
                    online = true;
                    failures = 0;
                    backoff = s->settings.firstBackoff;
                    report(true, "frames flow");
                }
                if (s->settings.paceFps > 0) {
                    const double due = last + 1.0 / s->settings.paceFps;
                    if (s->Now() < due && !s->Pause(due - s->Now())) break;
                }
                const double now = s->Now();
                std::lock_guard<std::mutex> lock(s->mutex);
                const double gap = now - last;
                if (gap > 0) s->fps = s->fps > 0 ? 0.9 * s->fps + 0.1 / gap : 1.0 / gap;
                last = now;
                if (s->fresh) ++s->dropped;
                std::swap(decoding, s->latest.image);
                s->latest.index = s->read++;
                s->latest.captureTime = now;
                s->size = s->latest.image.size();
                s->fresh = true;
                s->changed.notify_all();
            }
        } else {
            reason = "cannot open the input";
        }
        capture.release();
        if (s->Stopped()) break;
        if (online || failures == 0) report(false, reason);
        online = false;
        ++failures;
        if (s->settings.maxReconnects >= 0 && failures > s->settings.maxReconnects) break;
        if (!s->Pause(backoff)) break;
        backoff = std::min(backoff * 2, s->settings.maxBackoff);
    }
    std::lock_guard<std::mutex> lock(s->mutex);
    s->finished = true;
    s->changed.notify_all();
}

}  // namespace weapon_detect
