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
                                 std::to_string(static_cast<long long>(counted)) + " of " + std::to_string(frames_) +
                                 " frames (is the disk full?)");
    }
    file_.Commit();
    return true;
}

namespace {
// The measurement: at least this long, unless the held frames reach this many bytes.
constexpr double kMeasureSeconds = 1.0;
constexpr size_t kMaxHeldBytes = size_t{64} << 20;
// A longer gap between frames is an outage, not a pause to show.
constexpr double kLongestFilledGap = 5.0;
}  // namespace

LiveVideo::LiveVideo(std::string path, double knownFps) : path_(std::move(path)), knownFps_(knownFps) {}

LiveVideo::~LiveVideo() = default;

void LiveVideo::Open(double fps, cv::Size size) {
    // Whole frames per second: the measurement's noise means nothing in a video.
    fps_ = SafeFrameRate(std::max(1.0, std::round(fps)));
    video_ = std::make_unique<VideoOutput>(path_, fps_, size);
}

void LiveVideo::Place(const cv::Mat& frame, double captureTime) {
    long long slot = std::llround((captureTime - start_) * fps_);
    if (static_cast<double>(slot - slots_) > kLongestFilledGap * fps_) {
        // An outage: the video goes on from here instead of showing it.
        start_ = captureTime - static_cast<double>(slots_) / fps_;
        slot = slots_;
    }
    // Repeated up to its own slot when frames were left out; left out when its slot is taken.
    while (slots_ <= slot) {
        video_->Write(frame);
        ++slots_;
    }
}

void LiveVideo::Write(cv::Mat& frame, long long index, double captureTime) {
    if (video_) {
        Place(frame, captureTime);
        return;
    }
    if (knownFps_ > 0) {
        start_ = captureTime;
        Open(knownFps_, frame.size());
        Place(frame, captureTime);
        return;
    }
    heldBytes_ += frame.total() * frame.elemSize();
    held_.push_back({std::move(frame), index, captureTime});
    frame = cv::Mat();
    const Held& first = held_.front();
    const Held& last = held_.back();
    if ((last.time - first.time >= kMeasureSeconds && last.index > first.index) || heldBytes_ >= kMaxHeldBytes) {
        WriteHeld();
    }
}

void LiveVideo::WriteHeld() {
    if (held_.empty()) return;
    const Held& first = held_.front();
    const Held& last = held_.back();
    // The camera's rate, left-out frames included; 25 when too few frames came to tell.
    const double span = last.time - first.time;
    const double fps =
        span > 0 && last.index > first.index ? static_cast<double>(last.index - first.index) / span : 25.0;
    start_ = first.time;
    Open(fps, first.frame.size());
    for (const Held& h : held_) Place(h.frame, h.time);
    held_.clear();
    heldBytes_ = 0;
}

bool LiveVideo::Finish() {
    WriteHeld();
    return video_ && video_->Finish();
}

void LiveVideo::Discard() {
    held_.clear();
    heldBytes_ = 0;
    if (video_) video_->Discard();
}

}  // namespace weapon_detect
