// One camera's live view: the newest JPEG of its reduced frames with the detections drawn,
// for /live.jpg and the MJPEG stream, made by the clip recorder's thread only while somebody
// watches.
//
// Who watches: a stream viewer (Watch(), at most kViewersPerCamera here and the shared
// ViewerBound's maximum over all cameras) asks for JPEGs at the live rate; a /live.jpg request
// (Still()) asks for one every kStillInterval for kStillDemand after it. Nobody: no JPEG is made
// (Interval() is 0). Each JPEG is made once and shared by every viewer (shared_ptr).
//
// Threads: Interval() and Set() from the encoder's thread; Watch, Next, Still and the readers
// from any thread (the web server's); Close() from any thread wakes every waiter for good.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

namespace weapon_detect {

using Jpeg = std::shared_ptr<const std::vector<unsigned char>>;

// The stream viewers of every camera together.
class ViewerBound {
public:
    explicit ViewerBound(size_t most) : most_(most) {}
    bool Take();
    void Give() { --taken_; }
    size_t taken() const { return taken_; }
    size_t most() const { return most_; }

private:
    const size_t most_;
    std::atomic<size_t> taken_{0};
};

class LiveView {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr size_t kViewersPerCamera = 4;
    static constexpr size_t kViewersInAll = 16;  // the run's ViewerBound
    static constexpr double kStillInterval = 0.5;
    static constexpr std::chrono::seconds kStillDemand{10};

    // `fps`: the stream's rate at most; `all` (may be null) bounds the viewers of every camera.
    LiveView(int fps, ViewerBound* all) : fps_(fps), all_(all) {}

    // A stream viewer's place, given back when destroyed.
    class Viewer {
        struct Key {};  // only the view makes viewers

    public:
        Viewer(Key, LiveView& view) : view_(view) {}
        ~Viewer();
        Viewer(const Viewer&) = delete;
        Viewer& operator=(const Viewer&) = delete;

    private:
        friend class LiveView;
        LiveView& view_;
    };

    // Null when this camera or all of them have as many viewers as they take.
    std::unique_ptr<Viewer> Watch();
    // The first JPEG after number `seen` (updated), waiting until `deadline`; null on time out
    // and once closed.
    Jpeg Next(unsigned long long& seen, Clock::time_point deadline);
    // The newest JPEG for a still; asks for stills from now on. When none was made for a while
    // (or ever), waits up to `wait` for a fresh one, then gives the newest it has (maybe null).
    Jpeg Still(std::chrono::milliseconds wait);
    void Close();
    bool closed() const;

    // Encoder side: the seconds wanted between JPEGs now; 0 when nobody watches.
    double Interval() const;
    void Set(Jpeg jpeg);

    int fps() const { return fps_; }
    size_t viewers() const { return viewers_; }
    // JPEGs made for the live view.
    long long frames() const { return frames_; }

private:
    const int fps_;
    ViewerBound* all_;
    std::atomic<size_t> viewers_{0};
    static constexpr Clock::rep kNever = std::numeric_limits<Clock::rep>::min();
    std::atomic<Clock::rep> stillAsked_{kNever};
    std::atomic<long long> frames_{0};
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Jpeg newest_;
    Clock::time_point newestAt_{};
    unsigned long long number_ = 0;  // of the newest
    bool closed_ = false;
};

}  // namespace weapon_detect
