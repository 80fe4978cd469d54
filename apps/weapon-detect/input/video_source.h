// Inputs as OpenCV's video input reads them: files, image sequences (printf patterns such
// as frames/%04d.png), camera indices and stream URLs.
#pragma once

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/videoio.hpp>

namespace weapon_detect {

// Camera indices and stream URLs are live: they deliver at their own pace and may drop.
bool IsLiveInput(const std::string& input);
// A printf pattern of numbered image files, such as frames/%04d.png.
bool IsImageSequence(const std::string& input);

// Opens an input with the reader that suits it; streams give up after `openTimeoutMs`
// without an answer and `readTimeoutMs` without a frame.
bool OpenCapture(cv::VideoCapture& capture, const std::string& input, int openTimeoutMs, int readTimeoutMs);

// Thrown when a stop was asked for while an input was still opening.
struct OpenInterrupted : std::runtime_error {
    OpenInterrupted() : std::runtime_error("stopped while opening an input") {}
};

class VideoSource {
public:
    // Opens the input and reads its first frame. Throws std::runtime_error when the input
    // cannot be opened or yields no frame. Opening runs on a thread of its own, because it
    // can block for good (a FIFO nobody writes, a server that accepts and never answers):
    // when `stop` is set meanwhile, throws OpenInterrupted at once and leaves that thread
    // behind, so the caller should end the process soon after.
    VideoSource(const std::string& input, const std::atomic<bool>& stop);

    // The next frame into `frame`; false at the end of the stream.
    bool Read(cv::Mat& frame);
    // Stream time of the frame last read, in seconds.
    double Timestamp() const { return timestamp_; }
    double fps() const { return fps_; }
    // Frames in the input when the reader knows (files), else 0.
    long long frameCount() const { return frameCount_; }
    cv::Size size() const { return size_; }
    const std::string& input() const { return input_; }

    // After Read() returned false: empty when the input ended where it should, else where
    // and why it ended early (a truncated video, a missing or unreadable sequence frame).
    std::string EndedEarly() const;

    // A camera id for an input: the file name without folder and extension, "camera<N>"
    // for a camera index, the host and path of a URL; control characters become '_'.
    static std::string DefaultCameraId(const std::string& input);

private:
    std::string input_;
    std::shared_ptr<cv::VideoCapture> capture_;
    cv::Mat first_;  // the frame read while opening, handed out by the first Read
    bool firstPending_ = false;
    double fps_ = 25.0;
    long long frameCount_ = 0;
    double timestamp_ = 0.0;
    long long index_ = -1;
    std::vector<long long> sequenceFrames_;  // numbers of an image sequence's frames, sorted
    cv::Size size_;
};

}  // namespace weapon_detect
