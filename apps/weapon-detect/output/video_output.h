// A video file written frame by frame that appears under its name only when it is
// complete and readable. Video writers do not report failed writes (a full disk), so
// Finish() reads the finished file back and checks its frame count before committing it.
// A video without a single frame is not kept.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "output/output_file.h"

namespace weapon_detect {

// A frame rate every writer takes: 25 for one that is not a positive finite number, at
// most 240, to the thousandth up to 60 and whole above (the MPEG-4 encoder refuses a time
// base above 65535, which a rate such as 65.7 to the thousandth would need).
double SafeFrameRate(double fps);

class VideoOutput {
public:
    // Motion-JPEG for .avi, MPEG-4 otherwise, at SafeFrameRate(fps). Throws
    // std::runtime_error naming the path and the reason when the file cannot be an output
    // or the writer cannot open.
    VideoOutput(const std::string& path, double fps, cv::Size size);

    // Appends a frame; frames of another size are scaled to the video's size (a stream
    // may change resolution). Writes into `frame` only when it has to scale.
    void Write(const cv::Mat& frame);
    // Closes the writer and checks the file. Returns false, removing the file, when no
    // frame was written; throws std::runtime_error when the file is incomplete.
    bool Finish();
    // Removes the part file; nothing is kept.
    void Discard() { file_.Discard(); }
    const std::string& path() const { return file_.path(); }
    long long frames() const { return frames_; }

private:
    OutputFile file_;
    cv::VideoWriter writer_;
    cv::Size size_;
    cv::Mat scaled_;  // reused when frames come in another size
    long long frames_ = 0;
    int backend_ = cv::CAP_ANY;
};

// The annotated video of a live camera, played at the real speed although the camera's rate
// is unknown and the analysis takes only some of its frames. The frames of the first second
// are held (moved in, never copied) while the camera's rate is measured from their indices
// among the frames read and their capture times; then the video opens at that rate and each
// frame is placed at its capture time: repeated up to it when frames were left out, left out
// itself when a frame is already there. A gap over five seconds (a reconnection) is not
// filled: the video goes on from there.
class LiveVideo {
public:
    // Opens nothing yet. `knownFps` > 0 is a rate known beforehand (a file played as a
    // camera): the video opens at the first frame.
    LiveVideo(std::string path, double knownFps = 0.0);
    ~LiveVideo();
    LiveVideo(const LiveVideo&) = delete;
    LiveVideo& operator=(const LiveVideo&) = delete;

    // Takes an analysed frame: `index` counts the frames read from the camera (left-out ones
    // too), `captureTime` is when it was read, in seconds. Moves from `frame` while holding
    // it. Throws std::runtime_error when the video cannot be opened (nothing is kept).
    void Write(cv::Mat& frame, long long index, double captureTime);
    // Writes what is held, then as VideoOutput::Finish.
    bool Finish();
    void Discard();
    // The rate the video was opened at; 0 before it opened.
    double fps() const { return fps_; }

private:
    struct Held {
        cv::Mat frame;
        long long index;
        double time;
    };
    void Open(double fps, cv::Size size);
    // Measures the rate from the held frames, opens the video and writes them.
    void WriteHeld();
    void Place(const cv::Mat& frame, double captureTime);

    std::string path_;
    double knownFps_;
    std::unique_ptr<VideoOutput> video_;
    std::vector<Held> held_;
    size_t heldBytes_ = 0;
    double fps_ = 0.0;
    double start_ = 0.0;   // the capture time of the video's first slot
    long long slots_ = 0;  // frames written
};

}  // namespace weapon_detect
