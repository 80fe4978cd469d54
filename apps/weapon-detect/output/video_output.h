// A video file written frame by frame that appears under its name only when it is
// complete and readable. Video writers do not report failed writes (a full disk), so
// Finish() reads the finished file back and checks its frame count before committing it.
// A video without a single frame is not kept.
#pragma once

#include <string>

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

}  // namespace weapon_detect
