// A live input (camera index or stream URL) read on a thread of its own that keeps only
// the newest frame: analysis always takes the newest one, and frames it never saw are
// counted as dropped. Memory stays at two frames whatever the speed of analysis.
//
// Stream URLs are read with FFmpeg's libraries. Where every packet is a whole picture
// (Motion JPEG and other intra-only codecs) the reader keeps the newest packet still
// compressed and Take decodes it, on the caller's thread: only the frames analysed are
// decoded. Other codecs (H.264, H.265) need every reference frame decoded, so the reader
// decodes as they come and keeps the newest picture in the codec's format; Take converts it
// to BGR. While the analysis takes less than half of the stream's frames the decode is made
// cheap (PictureDecoder::SetCheap: no loop filter but on key frames, no frames that nothing
// refers to), and full again once it takes more than 0.8 of those decoded (either held at
// least 10 s). Camera indices and files are read with OpenCV's capture, which decodes every
// frame it reads. The environment variable WEAPON_DETECT_LIVE_READER=opencv reads URLs with
// OpenCV's capture too, and WEAPON_DETECT_CHEAP_DECODE=0 keeps the full decode (both for
// measurements).
//
// Threads: the reader thread owns the input and (for H.264 and the like) the decoder; Take,
// on the camera's worker thread, owns the decoder of taken packets and the converter. Only
// references to the newest packet or picture pass between them, under the lock.
//
// When the input stops delivering (end of stream, a read error, or no frame for the stall
// timeout) the reader reopens it with exponential backoff (1 s doubling to 30 s), forever
// or up to a set number of attempts, and reports each change of state through a callback
// (called on the reader thread). A file played as a camera is not reopened: it ends at its
// end (or, when asked to loop, starts over at once), and a file that cannot be opened again
// ends the source.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <opencv2/core.hpp>

namespace weapon_detect {

struct LiveSettings {
    double stallSeconds = 10.0;  // no frame for this long: reconnect
    int maxReconnects = -1;      // attempts in a row before giving up; -1 for ever
    double firstBackoff = 1.0, maxBackoff = 30.0;
    double paceFps = 0.0;        // > 0: read no faster than this (a file played as a camera)
    // What the end of the input means: a camera that dropped (reopen with backoff), or the
    // end of a file played as a camera (finish, or start over when looping).
    enum class AtEnd { Reconnect, Finish, Restart };
    AtEnd atEnd = AtEnd::Reconnect;
};

struct LiveFrame {
    cv::Mat image;
    long long index = -1;      // frames read from the input since the start, dropped ones included
    double captureTime = 0.0;  // seconds on the run's clock when it was read
};

class LiveSource {
public:
    // `online` true when frames flow again, false when they stopped, with the reason.
    using StateCallback = std::function<void(bool online, const std::string& reason, double time)>;
    using Clock = std::chrono::steady_clock;

    LiveSource(std::string input, LiveSettings settings, Clock::time_point start, StateCallback onState);
    // Stops the reader; waits for it at most one second (a reader blocked in the input is
    // left behind, holding only its own state, and counted by LeftBehind()).
    ~LiveSource();
    LiveSource(const LiveSource&) = delete;
    LiveSource& operator=(const LiveSource&) = delete;

    // The newest frame not taken yet, into `frame`: swapped in (OpenCV's reader), or decoded
    // or converted into `frame.image`, reusing its pixels when nothing else holds them. Waits
    // at most `wait`; false when none came, the source gave up, or the frame's packet could
    // not be decoded. Called by one thread (the camera's worker).
    bool Take(LiveFrame& frame, std::chrono::milliseconds wait);
    // The reader gave up (too many failed reconnections) or a file ended.
    bool finished() const;
    long long dropped() const;
    long long read() const;
    long long decoded() const;  // frames decoded, by the reader or by Take
    double cameraFps() const;  // frames per second the input delivers, measured
    cv::Size size() const;     // of the newest frame; empty before the first
    // Readers left behind, still blocked in their input, in this process.
    static int LeftBehind();

private:
    struct Shared;
    struct Taker;
    static void ReadLoop(std::shared_ptr<Shared> shared);

    std::shared_ptr<Shared> shared_;
    std::unique_ptr<Taker> taker_;  // Take's decoder and converter
    std::thread thread_;
};

}  // namespace weapon_detect
