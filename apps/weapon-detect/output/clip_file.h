// One event clip: an H.264 MP4 (OpenCV's FFmpeg back end with Debian's libavcodec and
// libx264) at a constant frame rate, fed frames with their stream times. A frame stands
// until the next one's time, so gaps (a live camera analysed at a lower rate than the clip's)
// repeat the previous frame and the clip lasts as long as the stream time it covers.
//
// Written as a part file beside the target and renamed into place by Finish() only after the
// file has been read back with every frame; destroyed unfinished, nothing is left.
#pragma once

#include <string>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "output/output_file.h"

namespace weapon_detect {

class ClipFile {
public:
    // Throws std::runtime_error when `path` cannot be an output.
    ClipFile(const std::string& path, double fps);

    // Appends `frame` (BGR, every frame of one size) at stream time `time`. Throws
    // std::runtime_error when the writer cannot be opened.
    void Feed(double time, const cv::Mat& frame);
    // Closes, checks and commits the clip; throws std::runtime_error when it holds no frame
    // or fewer frames than were written (the part file is removed then).
    void Finish();
    void Discard() { file_.Discard(); }

    const std::string& path() const { return file_.path(); }
    double firstTime() const { return firstTime_; }
    long long frames() const { return written_; }

private:
    void Put(const cv::Mat& frame);

    OutputFile file_;
    double period_;
    cv::VideoWriter writer_;
    cv::Mat last_;
    double firstTime_ = 0.0;
    double nextSlot_ = 0.0;
    long long written_ = 0;
};

}  // namespace weapon_detect
