#include "input/video_source.h"

#include "camera_ids.h"
#include "input/stream_probe.h"
#include "thread_name.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <filesystem>
#include <regex>
#include <stdexcept>

namespace weapon_detect {
namespace {
bool IsCameraIndex(const std::string& input) {
    return !input.empty() && input.size() < 4 &&
           std::all_of(input.begin(), input.end(), [](unsigned char c) { return std::isdigit(c); });
}
bool IsUrl(const std::string& input) { return input.find("://") != std::string::npos; }
// A stream that does not answer, or stops delivering, for this long ends.
constexpr int kStreamTimeoutMs = 10000;
}  // namespace

bool IsLiveInput(const std::string& input) { return IsCameraIndex(input) || IsUrl(input); }

namespace {
// The numbers of the frames a sequence pattern names now, sorted.
std::vector<long long> SequenceFrames(const std::string& pattern) {
    const std::filesystem::path path(pattern);
    const std::string name = path.filename().string();
    const auto percent = name.find('%');
    const auto d = percent == std::string::npos ? std::string::npos : name.find('d', percent);
    if (d == std::string::npos) return {};
    const std::string before = name.substr(0, percent), after = name.substr(d + 1);
    std::vector<long long> frames;
    const auto folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::string file = it->path().filename().string();
        if (file.size() <= before.size() + after.size() || file.compare(0, before.size(), before) != 0 ||
            file.compare(file.size() - after.size(), after.size(), after) != 0) {
            continue;
        }
        const std::string digits = file.substr(before.size(), file.size() - before.size() - after.size());
        if (digits.size() > 15 ||
            !std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); })) {
            continue;
        }
        frames.push_back(std::stoll(digits));
    }
    std::sort(frames.begin(), frames.end());
    return frames;
}
}  // namespace

bool IsImageSequence(const std::string& input) { return !IsLiveInput(input) && input.find('%') != std::string::npos; }

bool OpenCapture(cv::VideoCapture& capture, const std::string& input, int openTimeoutMs, int readTimeoutMs) {
    if (IsCameraIndex(input)) return capture.open(std::stoi(input));
    if (IsUrl(input)) {
        return capture.open(input, cv::CAP_FFMPEG,
                            {cv::CAP_PROP_OPEN_TIMEOUT_MSEC, openTimeoutMs, cv::CAP_PROP_READ_TIMEOUT_MSEC,
                             readTimeoutMs});
    }
    // The image-sequence reader copes with frames that change size.
    if (input.find('%') != std::string::npos) return capture.open(input, cv::CAP_IMAGES);
    return capture.open(input);
}

VideoSource::VideoSource(const std::string& input, const std::atomic<bool>& stop) : input_(input) {
    const bool camera = IsCameraIndex(input);
    const bool url = IsUrl(input);
    const bool sequence = !camera && !url && input.find('%') != std::string::npos;
    if (!camera && !url && !sequence) {
        std::error_code error;
        const auto status = std::filesystem::status(input, error);
        if (!std::filesystem::exists(status)) throw std::runtime_error("input " + input + " does not exist");
        if (std::filesystem::is_directory(status)) {
            throw std::runtime_error("input " + input + " is a folder (for an image sequence give a pattern such as " +
                                     input + "/%04d.png)");
        }
        if (access(input.c_str(), R_OK) != 0) {
            throw std::runtime_error("cannot read input " + input + ": " + std::strerror(errno));
        }
    }

    struct Opening {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        bool opened = false;
        bool abandoned = false;  // the caller stopped waiting
        std::string why;         // why a stream could not be opened, when its server says
        cv::Mat first;
    };
    auto capture = std::make_shared<cv::VideoCapture>();
    auto opening = std::make_shared<Opening>();
    std::thread([capture, opening, input] {
        NameThisThread("wd-open");  // the decoder's threads, started here, inherit the name
        bool opened = false;
        cv::Mat first;
        std::string why;
        try {
            opened = OpenCapture(*capture, input, kStreamTimeoutMs, kStreamTimeoutMs) && capture->read(first) &&
                     !first.empty();
        } catch (const std::exception&) {
            opened = false;
        }
        if (!opened)
            why = WhyStreamCannotOpen(input, kStreamTimeoutMs, [opening] {
                std::lock_guard<std::mutex> lock(opening->mutex);
                return opening->abandoned;
            });
        std::lock_guard<std::mutex> lock(opening->mutex);
        opening->why = why;
        opening->opened = opened;
        opening->first = first;
        opening->finished = true;
        opening->done.notify_all();
    }).detach();

    std::unique_lock<std::mutex> lock(opening->mutex);
    while (!opening->done.wait_for(lock, std::chrono::milliseconds(50), [&] { return opening->finished; })) {
        if (stop) {
            opening->abandoned = true;
            throw OpenInterrupted();
        }
    }
    if (!opening->opened) {
        throw std::runtime_error(
            "cannot read input " + input +
            (opening->why.empty() ? " (not a readable video, image sequence, camera or stream)" : ": " + opening->why));
    }
    capture_ = capture;
    first_ = opening->first;
    firstPending_ = true;
    size_ = first_.size();
    const double fps = capture_->get(cv::CAP_PROP_FPS);
    if (fps > 0.0 && fps < 1000.0) fps_ = fps;
    const double count = capture_->get(cv::CAP_PROP_FRAME_COUNT);
    if (!IsLiveInput(input) && count > 0 && count < 1e12) frameCount_ = static_cast<long long>(count);
    if (sequence) sequenceFrames_ = SequenceFrames(input);
}

std::string VideoSource::EndedEarly() const {
    const long long read = index_ + 1;
    if (!sequenceFrames_.empty()) {
        // The reader stops at the first frame it cannot read; say which, and what is left.
        const auto total = static_cast<long long>(sequenceFrames_.size());
        if (read >= total || read == 0) return {};
        const long long last = sequenceFrames_[static_cast<size_t>(read - 1)];
        const long long next = sequenceFrames_[static_cast<size_t>(read)];
        char name[64];
        std::snprintf(name, sizeof name, "%lld", last + 1);
        return "ended after " + std::to_string(read) + " of " + std::to_string(total) + " frames: frame " + name +
               (next == last + 1 ? " cannot be read" : " is missing");
    }
    // Frame counts of some containers are estimates: one frame short is not a truncation.
    if (frameCount_ > 0 && read + 1 < frameCount_) {
        return "ended after " + std::to_string(read) + " of " + std::to_string(frameCount_) +
               " frames: the rest cannot be read (a truncated or damaged file)";
    }
    return {};
}

bool VideoSource::Read(cv::Mat& frame) {
    if (firstPending_) {
        frame = first_;
        first_ = cv::Mat();
        firstPending_ = false;
    } else if (!capture_->read(frame) || frame.empty()) {
        return false;
    }
    ++index_;
    // Image sequences and some cameras report no position: count frames instead.
    const double msec = capture_->get(cv::CAP_PROP_POS_MSEC);
    timestamp_ = msec > 0.0 ? msec / 1000.0 : static_cast<double>(index_) / fps_;
    return true;
}

std::string VideoSource::DefaultCameraId(const std::string& input) {
    if (IsCameraIndex(input)) return "camera" + input;
    if (IsUrl(input)) {
        std::string rest = input.substr(input.find("://") + 3);
        const auto at = rest.find('@');  // never put credentials into results
        if (at != std::string::npos) rest = rest.substr(at + 1);
        std::replace_if(
            rest.begin(), rest.end(), [](char c) { return c == '/' || c == ':' || c == '?'; }, '_');
        return WithoutControlCharacters(rest);
    }
    // An image sequence is named after its pattern without the frame number
    // ("frames/cam_%04d.png" gives "cam"), or after its folder.
    const std::filesystem::path path(input);
    std::string stem = std::regex_replace(path.stem().string(), std::regex("%0?[0-9]*d"), "");
    const auto last = stem.find_last_not_of("_-. ");
    stem.erase(last == std::string::npos ? 0 : last + 1);
    if (stem.empty()) stem = path.parent_path().filename().string();
    return WithoutControlCharacters(stem.empty() ? input : stem);
}

}  // namespace weapon_detect
