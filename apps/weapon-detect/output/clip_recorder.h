// Event clips of one camera, and the JPEG of its live view, made on a thread of their own so
// that encoding never holds up the analysis.
//
// The analysis thread hands over each analysed frame already reduced (Push) and says when an
// event begins and ends (Begin, End). The recorder's thread keeps the pre-roll ring, feeds
// every open clip, and ends a clip once a frame is `afterSeconds` past its event's end (or
// the clip reached `maxSeconds`). A clip covers [start - before, end + after] of stream time.
//
// Memory: at most `queuedFrames` reduced frames wait for the thread (Push drops a frame rather
// than wait, and counts it); the ring holds at most `ringBytes` of JPEGs; at most
// kOpenClips clips are open at once (an event beyond that gets no clip, and says so).
//
// Threads: Push, Begin, End, Close and Discard are called from one thread (the camera's
// worker), or Discard from another once that one no longer calls. The callbacks run on the
// recorder's thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

#include "output/clip_file.h"
#include "output/preroll_ring.h"

namespace weapon_detect {

struct ClipSettings {
    bool clips = true;             // false: only the live view
    double beforeSeconds = 5.0;
    double afterSeconds = 5.0;
    double maxSeconds = 300.0;     // a longer event's clip stops here
    double fps = 25.0;             // of the clips
    size_t ringBytes = 32u << 20;  // the pre-roll ring's bound
    double liveInterval = 0.0;     // seconds between live-view JPEGs; 0 for none
    size_t queuedFrames = 8;       // frames waiting for the thread at most
};

class ClipRecorder {
public:
    static constexpr size_t kOpenClips = 4;

    // `error` is empty when the clip was written and committed under `path`.
    using ClipDone = std::function<void(long long key, const std::string& path, const std::string& error)>;
    using LiveJpeg = std::function<void(std::shared_ptr<const std::vector<unsigned char>> jpeg)>;

    ClipRecorder(ClipSettings settings, ClipDone onClip, LiveJpeg onLive);
    ~ClipRecorder();  // Close()
    ClipRecorder(const ClipRecorder&) = delete;
    ClipRecorder& operator=(const ClipRecorder&) = delete;

    // Hands over a reduced, annotated frame at stream time `time`; never blocks.
    void Push(cv::Mat frame, double time);
    // The event `key` began at `startTime`: its clip goes to `path`.
    void Begin(long long key, std::string path, double startTime);
    // The event `key` ended at `endTime` (its last detection).
    void End(long long key, double endTime);
    // Ends every open clip with the frames it has, commits it, and stops the thread.
    void Close();
    // Stops the thread and removes every unfinished clip.
    void Discard();

    long long dropped() const { return dropped_; }
    size_t ringBytes() const { return ringBytes_; }

private:
    struct Command {
        enum Kind { Frame, Begin, End } kind;
        double time = 0.0;
        cv::Mat frame;
        long long key = 0;
        std::string path;
    };
    struct OpenClip {
        long long key;
        std::unique_ptr<ClipFile> file;
        double endTime = -1.0;  // of the event, once it ended
    };
    void Loop();
    void OnFrame(double time, const cv::Mat& frame);
    void OnBegin(long long key, const std::string& path, double startTime);
    void Finish(OpenClip& clip);
    void Stop(bool discard);

    ClipSettings settings_;
    ClipDone onClip_;
    LiveJpeg onLive_;
    PrerollRing ring_;
    std::vector<OpenClip> open_;
    double lastLive_ = -1e9;  // steady seconds of the last live JPEG

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Command> commands_;
    size_t queuedFrames_ = 0;
    bool stopping_ = false;
    bool discard_ = false;
    std::atomic<long long> dropped_{0};
    std::atomic<size_t> ringBytes_{0};
    std::thread thread_;
};

}  // namespace weapon_detect
