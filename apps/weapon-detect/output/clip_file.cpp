#include "output/clip_file.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>

namespace fs = std::filesystem;

namespace weapon_detect {
namespace {
// A stream that stood still for longer than this repeats its last frame only this long.
constexpr double kLongestGapSeconds = 10.0;
// Names tried for one event's clip before giving up.
constexpr int kNamesTried = 1000;

bool Taken(const fs::path& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}
}  // namespace

ClipFile::ClipFile(const std::string& path, double fps)
    : file_(path, OutputFile::Special::Refuse, OutputFile::Mode::New), period_(1.0 / std::clamp(fps, 1.0, 60.0)) {}

void ClipFile::Put(const cv::Mat& frame) {
    if (!writer_.isOpened()) {
        const int h264 = cv::VideoWriter::fourcc('a', 'v', 'c', '1');
        if (!writer_.open(file_.writePath(), cv::CAP_FFMPEG, h264, 1.0 / period_, frame.size())) {
            throw std::runtime_error("cannot write the clip " + file_.path() + ": no H.264 writer");
        }
    }
    writer_.write(frame);
    ++written_;
}

void ClipFile::Feed(double time, const cv::Mat& frame) {
    if (last_.empty()) {
        firstTime_ = nextSlot_ = time;
    } else {
        // The previous frame fills the slots up to this one's time.
        nextSlot_ = std::max(nextSlot_, time - kLongestGapSeconds);
        while (nextSlot_ < time - period_ / 2) {
            Put(last_);
            nextSlot_ += period_;
        }
    }
    last_ = frame;
}

void ClipFile::SkipTo(double time) {
    if (last_.empty() || time <= nextSlot_) return;
    Put(last_);
    nextSlot_ = time;
}

std::string ClipFile::Finish() {
    if (!last_.empty()) Put(last_);
    writer_.release();
    last_.release();
    if (written_ == 0) {
        file_.Discard();
        throw std::runtime_error("the clip " + file_.path() + " got no frame");
    }
    cv::VideoCapture check(file_.writePath(), cv::CAP_FFMPEG);
    const double counted = check.isOpened() ? check.get(cv::CAP_PROP_FRAME_COUNT) : 0.0;
    check.release();
    if (counted < static_cast<double>(written_)) {
        file_.Discard();
        throw std::runtime_error("cannot write the clip " + file_.path() + ": it holds " +
                                 std::to_string(static_cast<long long>(counted)) + " of " + std::to_string(written_) +
                                 " frames (is the disk full?)");
    }
    return file_.CommitAsNew();
}

std::unique_ptr<ClipFile> NewEventClip(const std::string& stem, double fps) {
    for (int n = 1; n <= kNamesTried; ++n) {
        const std::string name = n == 1 ? stem : stem + "-" + std::to_string(n);
        if (Taken(name + ".jpg") || Taken(name + ".mp4")) continue;
        try {
            return std::make_unique<ClipFile>(name + ".mp4", fps);
        } catch (const OutputInUse&) {
            // Another run's clip of the same name, still being written.
        }
    }
    throw std::runtime_error("cannot write a clip " + stem + ".mp4: " + std::to_string(kNamesTried) +
                             " names like it are taken");
}

}  // namespace weapon_detect
