#include "video_source.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <regex>
#include <stdexcept>

#include "fd_redirect.h"

namespace weapon_detect {
namespace {
bool IsCameraIndex(const std::string& input) {
    return !input.empty() && input.size() < 4 &&
           std::all_of(input.begin(), input.end(), [](unsigned char c) { return std::isdigit(c); });
}
bool IsUrl(const std::string& input) { return input.find("://") != std::string::npos; }
}  // namespace

VideoSource::VideoSource(const std::string& input) : input_(input) {
    const bool camera = IsCameraIndex(input);
    if (!camera && !IsUrl(input) && input.find('%') == std::string::npos &&
        !std::filesystem::exists(input)) {
        throw std::runtime_error("input " + input + " does not exist");
    }
    bool opened = false;
    {
        // Video back ends report a file they cannot read on standard error in their own
        // words, several lines of it; the message below says it once.
        const ScopedSilence quiet(STDERR_FILENO);
        opened = camera ? capture_.open(std::stoi(input)) : capture_.open(input);
        opened = opened && capture_.read(first_) && !first_.empty();
    }
    if (!opened) {
        throw std::runtime_error("cannot read input " + input +
                                 " (not a readable video, image sequence, camera or stream)");
    }
    firstPending_ = true;
    size_ = first_.size();
    const double fps = capture_.get(cv::CAP_PROP_FPS);
    if (fps > 0.0 && fps < 1000.0) fps_ = fps;
}

bool VideoSource::Read(cv::Mat& frame) {
    if (firstPending_) {
        frame = first_;
        first_ = cv::Mat();
        firstPending_ = false;
    } else if (!capture_.read(frame) || frame.empty()) {
        return false;
    }
    ++index_;
    // Image sequences and some cameras report no position: count frames instead.
    const double msec = capture_.get(cv::CAP_PROP_POS_MSEC);
    timestamp_ = msec > 0.0 ? msec / 1000.0 : static_cast<double>(index_) / fps_;
    return true;
}

std::string VideoSource::DefaultCameraId(const std::string& input) {
    if (IsCameraIndex(input)) return "camera" + input;
    if (IsUrl(input)) {
        std::string rest = input.substr(input.find("://") + 3);
        const auto at = rest.find('@');  // never put credentials into results
        if (at != std::string::npos) rest = rest.substr(at + 1);
        std::replace_if(rest.begin(), rest.end(), [](char c) { return c == '/' || c == ':' || c == '?'; }, '_');
        return rest;
    }
    // An image sequence is named after its pattern without the frame number
    // ("frames/cam_%04d.png" gives "cam"), or after its folder.
    const std::filesystem::path path(input);
    std::string stem = std::regex_replace(path.stem().string(), std::regex("%0?[0-9]*d"), "");
    const auto last = stem.find_last_not_of("_-. ");
    stem.erase(last == std::string::npos ? 0 : last + 1);
    if (stem.empty()) stem = path.parent_path().filename().string();
    return stem.empty() ? input : stem;
}

}  // namespace weapon_detect
