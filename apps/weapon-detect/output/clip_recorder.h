// Event clips of one camera, and the JPEG of its live view, made on a thread of their own so
// that encoding never holds up the analysis.
//
// The analysis thread hands over each analysed frame already reduced (Push) and says when an
// event begins and ends (Begin, End). The recorder's thread keeps the pre-roll ring, feeds
// every open clip, and ends a clip once a frame is `afterSeconds` past its event's end (or
// the clip reached `maxSeconds`). A clip covers [start - before, end + after] of stream time.
//
// Ending: EndInput() says no more comes; the thread then takes in what it was handed (the
// queued frames, the pre-roll of an event that just began), ends every open clip with the
// frames it has, commits it, reports it and ends. That can take a while (a long pre-roll is
// encoded frame by frame), so a stop sets a time (HurryAt) from which the thread takes no
// more frames into clips: an event not yet begun gets only its first frame, a pre-roll being
// encoded is cut there and jumps to the event's first frame, an ended event's clip is ended
// at once, and every open clip is ended with what it has (its encoder's buffered frames
// written, the file read back). Wait() waits
// for the thread with a deadline; the thread is joined once, by whichever caller sees it end.
//
// Memory: at most `queuedFrames` reduced frames wait for the thread (Push drops a frame rather
// than wait, and counts it); the ring holds at most `ringBytes` of JPEGs; at most
// kOpenClips clips are open at once (an event beyond that gets no clip, and says so).
//
// Threads: Push, Begin and End are called from one thread (the camera's worker). EndInput,
// HurryAt, Wait, Close and Discard may be called from any thread, any number of times, also
// at once. Every clip handed over gets exactly one ClipDone or ClipSkipped, on the recorder's
// thread (none after Discard); Wait() returning true means every one was made. The callbacks run on the
// recorder's thread.
#pragma once

#include <atomic>
#include <chrono>
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
    // Seconds between live-view JPEGs wanted now, asked at each frame; 0 or unset for none.
    std::function<double()> liveInterval;
    size_t queuedFrames = 8;       // frames waiting for the thread at most
    // Asked on the recorder's thread as a clip would begin: empty to begin it, else why it is
    // skipped (free space below the floor); unset: always begun.
    std::function<std::string()> mayStart;
};

class ClipRecorder {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr size_t kOpenClips = 4;

    // `error` is empty when the clip was written and committed under `path` (its name, or the
    // first free one beside it when a file took that name meanwhile).
    using ClipDone = std::function<void(long long key, const std::string& path, const std::string& error)>;
    using LiveJpeg = std::function<void(std::shared_ptr<const std::vector<unsigned char>> jpeg)>;
    // The event `key` gets no clip because kOpenClips are being made, or `mayStart` said no
    // (its file removed).
    using ClipSkipped = std::function<void(long long key, const std::string& reason)>;

    // Without `onSkip`, a skipped clip is a ClipDone with the reason as its error.
    ClipRecorder(ClipSettings settings, ClipDone onClip, LiveJpeg onLive, ClipSkipped onSkip = nullptr);
    ~ClipRecorder();  // Close()
    ClipRecorder(const ClipRecorder&) = delete;
    ClipRecorder& operator=(const ClipRecorder&) = delete;

    // Hands over a reduced, annotated frame at stream time `time`; never blocks.
    void Push(cv::Mat frame, double time);
    // The event `key` began at `startTime`: its clip is `file` (see NewEventClip). False,
    // with the file discarded and no ClipDone to come, once the input ended or without clips.
    bool Begin(long long key, std::unique_ptr<ClipFile> file, double startTime);
    // The same with the clip made at `path` by the recorder's thread (a failure is its ClipDone).
    bool Begin(long long key, const std::string& path, double startTime);
    // The event `key` ended at `endTime` (its last detection).
    void End(long long key, double endTime);

    // No more frames or events; returns at once (the thread ends the clips, see above).
    void EndInput();
    // From `at` on (now when it passed), the thread hurries to its end; an earlier time given
    // before stays.
    void HurryAt(Clock::time_point at);
    // Waits until the thread ended (true) or `deadline` passed (false).
    bool Wait(Clock::time_point deadline);
    // EndInput() and Wait() for as long as it takes.
    void Close();
    // Stops the thread at its next command and removes every unfinished clip.
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
        std::unique_ptr<ClipFile> file;
    };
    struct OpenClip {
        long long key;
        std::unique_ptr<ClipFile> file;
        double endTime = -1.0;  // of the event, once it ended
    };
    bool Queue(Command command);
    void Loop();
    bool Hurried() const;
    void OnFrame(double time, const cv::Mat& frame);
    void OnBegin(Command& command);
    void OnEnd(long long key, double endTime);
    void Finish(OpenClip& clip);

    ClipSettings settings_;
    ClipDone onClip_;
    ClipSkipped onSkip_;
    LiveJpeg onLive_;
    PrerollRing ring_;
    std::vector<OpenClip> open_;
    double lastLive_ = -1e9;  // steady seconds of the last live JPEG

    std::mutex mutex_;
    std::condition_variable wake_;   // a command or the end of the input, for the thread
    std::condition_variable ended_;  // the thread's end, for Wait()
    std::deque<Command> commands_;
    size_t queuedFrames_ = 0;
    bool stopping_ = false;
    bool discard_ = false;
    bool finished_ = false;  // the thread made its last callback
    std::atomic<Clock::rep> hurryAt_{Clock::time_point::max().time_since_epoch().count()};
    std::atomic<long long> dropped_{0};
    std::atomic<size_t> ringBytes_{0};
    std::mutex joining_;  // one join, whoever waits
    std::thread thread_;
};

}  // namespace weapon_detect
