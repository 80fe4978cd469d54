#include "output/video_output.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

namespace weapon_detect {

double SafeFrameRate(double fps) {
    if (!std::isfinite(fps) || fps <= 0.0) return 25.0;
    fps = std::clamp(fps, 1.0, 240.0);
    return fps <= 60.0 ? std::round(fps * 1000.0) / 1000.0 : std::round(fps);
}

VideoOutput::VideoOutput(const std::string& path, double fps, cv::Size size)
    : file_(path, OutputFile::Special::Refuse), size_(size) {
    // Motion-JPEG in AVI goes through OpenCV's own writer and reader: FFmpeg's are
    // serialised by one lock in OpenCV that a camera hanging in open holds for up to its
    // timeout, and a video must not wait for another camera.
    const bool avi = std::filesystem::path(path).extension() == ".avi";
    backend_ = avi ? cv::CAP_OPENCV_MJPEG : cv::CAP_FFMPEG;
    const int codec = avi ? cv::VideoWriter::fourcc('M', 'J', 'P', 'G') : cv::VideoWriter::fourcc('m', 'p', '4', 'v');
    if (!writer_.open(file_.writePath(), backend_, codec, SafeFrameRate(fps), size)) {
        throw std::runtime_error("cannot write the video " + path + ": no video writer for it");
    }
    writer_.set(cv::VIDEOWRITER_PROP_QUALITY, 95);  // honoured by some back ends only
}

void VideoOutput::Write(const cv::Mat& frame) {
    if (frame.size() == size_) {
        writer_.write(frame);
    } else {
        cv::resize(frame, scaled_, size_, 0, 0, cv::INTER_AREA);
        writer_.write(scaled_);
    }
    ++frames_;
}

bool VideoOutput::Finish() {
    writer_.release();
    if (frames_ == 0) {
        file_.Discard();
        return false;
    }
    // Read the file back: a write that failed (disk full) leaves it unreadable or short.
    cv::VideoCapture check(file_.writePath(), backend_);
    const double counted = check.isOpened() ? check.get(cv::CAP_PROP_FRAME_COUNT) : 0.0;
    check.release();
    if (counted < static_cast<double>(frames_)) {
        file_.Discard();
        throw std::runtime_error("cannot write the video " + file_.path() + ": it holds " +
                                 std::to_string(static_cast<long long>(counted)) + " of " +
                                 std::to_string(frames_) + " frames (is the disk full?)");
    }
    file_.Commit();
    return true;
}

}  // namespace weapon_detect
