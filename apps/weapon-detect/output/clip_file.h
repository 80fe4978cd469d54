// One event clip: an H.264 MP4 (OpenCV's FFmpeg back end with Debian's libavcodec and
// libx264) at a constant frame rate, fed frames with their stream times. A frame stands
// until the next one's time, so gaps (a live camera analysed at a lower rate than the clip's)
// repeat the previous frame and the clip lasts as long as the stream time it covers.
//
// Written as a part file beside the target, made exclusively (a run going on that writes the
// same clip is refused), and linked into place by Finish() only after the file has been read
// back with every frame; it never replaces a file. Destroyed unfinished, nothing is left.
#pragma once

#include <memory>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "output/output_file.h"

namespace weapon_detect {

class ClipFile {
public:
    // Throws OutputInUse when a run going on writes the same clip, std::runtime_error when
    // `path` cannot be an output.
    ClipFile(const std::string& path, double fps);

    // Appends `frame` (BGR, every frame of one size) at stream time `time`. Throws
    // std::runtime_error when the writer cannot be opened.
    void Feed(double time, const cv::Mat& frame);
    // Leaves out the stream time up to `time`: the next frame follows the last one fed
    // without repeating it over the gap (a stop that cannot wait for the whole pre-roll).
    void SkipTo(double time);
    // Closes, checks and commits the clip under its path, or under the first free
    // "<stem>-<n>.mp4" when a file took that name meanwhile; returns the path used. Throws
    // std::runtime_error when it holds no frame or fewer frames than were written (the part
    // file is removed then).
    std::string Finish();
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

// The clip of an event whose files are named `stem` + ".jpg" (its snapshot) and ".mp4": made
// under `stem`, or the first "<stem>-<n>" for which neither file exists (a link, even a
// dangling one, counts) and no run going on writes that clip, so that the snapshot written at
// the event's end takes the same name beside it. Throws std::runtime_error when no clip can
// be made in that folder.
std::unique_ptr<ClipFile> NewEventClip(const std::string& stem, double fps);

}  // namespace weapon_detect
