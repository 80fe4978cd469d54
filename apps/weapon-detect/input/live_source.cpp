#include "input/live_source.h"

#include <algorithm>

#include <opencv2/videoio.hpp>

#include "input/stream_probe.h"
#include "input/video_source.h"
#include "thread_name.h"

namespace weapon_detect {
namespace {
std::atomic<int> g_leftBehind{0};

// Where the reader stands between connections: whether frames flow, how many attempts
// failed in a row, and the wait before the next one.
struct Link {
    explicit Link(const LiveSettings& settings) : settings(settings), backoff(settings.firstBackoff) {}

    // The first frame of a connection: the count of failures and the backoff start afresh.
    // True when this is a change of state to report.
    bool Online() {
        if (online) return false;
        online = true;
        failures = 0;
        backoff = settings.firstBackoff;
        return true;
    }
    // A connection lost (or never made). False when the attempts are used up.
    bool Lost() {
        online = false;
        ++failures;
        return settings.maxReconnects < 0 || failures <= settings.maxReconnects;
    }
    // Doubles the wait before the next attempt, up to the longest.
    void Lengthen() { backoff = std::min(backoff * 2, settings.maxBackoff); }

    const LiveSettings& settings;
    double backoff;
    int failures = 0;
    bool online = false;
};

// Opening is bounded by ten seconds whatever the stall timeout: OpenCV opens FFmpeg inputs
// under one process-wide lock, so a camera hanging in open holds up every other camera's
// opening (and reconnection) meanwhile.
struct Timeouts {
    explicit Timeouts(const LiveSettings& settings)
        : readMs(static_cast<int>(std::clamp(settings.stallSeconds, 0.1, 3600.0) * 1000)),
          openMs(std::min(readMs, 10000)) {}
    int readMs;
    int openMs;
};
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

    // Tells the listener, if one still listens; called outside the lock.
    void Report(bool online, const std::string& reason) {
        StateCallback callback;
        {
            std::lock_guard<std::mutex> lock(mutex);
            callback = onState;
        }
        if (callback) callback(online, reason, Now());
    }

    // Reads frames from an opened input until it stops delivering or a stop; returns why
    // it stopped delivering (empty after a stop).
    std::string ReadFrames(cv::VideoCapture& capture, cv::Mat& decoding, Link& link);

    // Makes `decoding` the newest frame (the buffers are swapped, no pixels copied), counts
    // an untaken one as dropped and updates the measured rate; `last` is the previous
    // frame's arrival and becomes this one's.
    void Publish(cv::Mat& decoding, double& last) {
        const double now = Now();
        std::lock_guard<std::mutex> lock(mutex);
        const double gap = now - last;
        if (gap > 0) fps = fps > 0 ? 0.9 * fps + 0.1 / gap : 1.0 / gap;
        last = now;
        if (fresh) ++dropped;
        std::swap(decoding, latest.image);
        latest.index = read++;
        latest.captureTime = now;
        size = latest.image.size();
        fresh = true;
        changed.notify_all();
    }

    void Finish() {
        std::lock_guard<std::mutex> lock(mutex);
        finished = true;
        changed.notify_all();
    }
};

std::string LiveSource::Shared::ReadFrames(cv::VideoCapture& capture, cv::Mat& decoding, Link& link) {
    double last = Now();
    while (!Stopped()) {
        if (!capture.read(decoding) || decoding.empty()) {
            return Now() - last >= settings.stallSeconds * 0.9
                       ? "no frame for " + std::to_string(static_cast<int>(settings.stallSeconds)) + " s"
                       : "end of stream or read error";
        }
        if (link.Online()) Report(true, "frames flow");
        if (settings.paceFps > 0) {
            const double due = last + 1.0 / settings.paceFps;
            if (Now() < due && !Pause(due - Now())) break;
        }
        Publish(decoding, last);
    }
    return {};
}

LiveSource::LiveSource(std::string input, LiveSettings settings, Clock::time_point start, StateCallback onState)
    : shared_(std::make_shared<Shared>()) {
    shared_->input = std::move(input);
    shared_->settings = settings;
    shared_->start = start;
    shared_->onState = std::move(onState);
    thread_ = std::thread(ReadLoop, shared_);
}

LiveSource::~LiveSource() {
    std::unique_lock<std::mutex> lock(shared_->mutex);
    shared_->stop = true;
    shared_->onState = nullptr;  // nobody listens any more
    shared_->changed.notify_all();
    // The reader may be blocked in the input: give it a second, then leave it behind with
    // its own share of the state.
    if (shared_->changed.wait_for(lock, std::chrono::seconds(1), [&] { return shared_->finished; })) {
        lock.unlock();
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
    NameThisThread("wd-read");  // its decoder's threads inherit the name
    const Timeouts timeouts(s->settings);
    Link link(s->settings);
    cv::Mat decoding;  // the reader's own buffer, swapped with the newest frame
    while (!s->Stopped()) {
        cv::VideoCapture capture;
        const bool opened = OpenCapture(capture, s->input, timeouts.openMs, timeouts.readMs) && !s->Stopped();
        const long long readBefore = s->read;
        std::string reason = opened ? s->ReadFrames(capture, decoding, link) : "";
        capture.release();
        if (s->Stopped()) break;
        // Why it cannot be opened is asked of the server only when it is said (below).
        auto explain = [&] {
            if (reason.empty()) reason = CannotOpenMessage(s->input, timeouts.openMs, [&s] { return s->Stopped(); });
            return reason;
        };
        if (s->settings.atEnd != LiveSettings::AtEnd::Reconnect) {
            // A file ends at its end; a loop starts over at once, unless a pass read nothing
            // (the file is gone or unreadable), which would only spin.
            const bool readSome = s->read > readBefore;
            if (readSome && s->settings.atEnd == LiveSettings::AtEnd::Restart) continue;
            if (!readSome) s->Report(false, explain());
            break;
        }
        // Going offline is said once, and so is a first attempt that fails; the retries are not.
        if (link.online || link.failures == 0) s->Report(false, explain());
        if (!link.Lost() || !s->Pause(link.backoff)) break;
        link.Lengthen();
    }
    s->Finish();
}

}  // namespace weapon_detect
