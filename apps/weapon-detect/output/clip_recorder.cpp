#include "output/clip_recorder.h"

#include <algorithm>
#include <chrono>

#include <opencv2/imgcodecs.hpp>

namespace weapon_detect {
namespace {
double SteadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
const std::vector<int> kJpegQuality{cv::IMWRITE_JPEG_QUALITY, 80};
}  // namespace

ClipRecorder::ClipRecorder(ClipSettings settings, ClipDone onClip, LiveJpeg onLive)
    : settings_(settings), onClip_(std::move(onClip)), onLive_(std::move(onLive)),
      ring_(settings.clips ? settings.beforeSeconds : 0.0, settings.ringBytes), thread_([this] { Loop(); }) {}

ClipRecorder::~ClipRecorder() { Close(); }

void ClipRecorder::Push(cv::Mat frame, double time) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        if (queuedFrames_ >= settings_.queuedFrames) {
            ++dropped_;  // the clip repeats the previous frame in its place
            return;
        }
        ++queuedFrames_;
        commands_.push_back({Command::Frame, time, std::move(frame), 0, {}});
    }
    wake_.notify_one();
}

void ClipRecorder::Begin(long long key, std::string path, double startTime) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || !settings_.clips) return;
        commands_.push_back({Command::Begin, startTime, {}, key, std::move(path)});
    }
    wake_.notify_one();
}

void ClipRecorder::End(long long key, double endTime) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || !settings_.clips) return;
        commands_.push_back({Command::End, endTime, {}, key, {}});
    }
    wake_.notify_one();
}

void ClipRecorder::Close() { Stop(false); }
void ClipRecorder::Discard() { Stop(true); }

void ClipRecorder::Stop(bool discard) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        discard_ = discard_ || discard;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
}

void ClipRecorder::Loop() {
    for (;;) {
        Command command;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !commands_.empty(); });
            if (discard_ || commands_.empty()) break;  // stopping, with everything handed over done
            command = std::move(commands_.front());
            commands_.pop_front();
            if (command.kind == Command::Frame) --queuedFrames_;
        }
        switch (command.kind) {
        case Command::Frame:
            OnFrame(command.time, command.frame);
            break;
        case Command::Begin:
            OnBegin(command.key, command.path, command.time);
            break;
        case Command::End:
            for (OpenClip& clip : open_) {
                if (clip.key == command.key) clip.endTime = command.time;
            }
            break;
        }
    }
    bool discard = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        discard = discard_;
    }
    for (OpenClip& clip : open_) {
        if (discard) {
            clip.file->Discard();
        } else {
            Finish(clip);
        }
    }
    open_.clear();
}

void ClipRecorder::OnFrame(double time, const cv::Mat& frame) {
    const double now = SteadySeconds();
    const bool liveDue = onLive_ && settings_.liveInterval > 0 && now - lastLive_ >= settings_.liveInterval;
    std::vector<unsigned char> jpeg;
    if (settings_.clips || liveDue) cv::imencode(".jpg", frame, jpeg, kJpegQuality);
    if (liveDue && !jpeg.empty()) {
        lastLive_ = now;
        onLive_(std::make_shared<const std::vector<unsigned char>>(jpeg));
    }
    if (!settings_.clips) return;
    if (!jpeg.empty()) ring_.Add(time, std::move(jpeg));
    ringBytes_ = ring_.bytes();
    for (auto it = open_.begin(); it != open_.end();) {
        const bool pastEnd = it->endTime >= 0 && time > it->endTime + settings_.afterSeconds;
        const bool tooLong = time - it->file->firstTime() > settings_.maxSeconds;
        if (!pastEnd && !tooLong) {
            try {
                it->file->Feed(time, frame);
            } catch (const std::exception& e) {
                it->file->Discard();
                onClip_(it->key, it->file->path(), e.what());
                it = open_.erase(it);
                continue;
            }
        }
        if (pastEnd || tooLong) {
            Finish(*it);
            it = open_.erase(it);
        } else {
            ++it;
        }
    }
}

void ClipRecorder::OnBegin(long long key, const std::string& path, double startTime) {
    if (open_.size() >= kOpenClips) {
        onClip_(key, path, "more than " + std::to_string(kOpenClips) + " clips at once");
        return;
    }
    try {
        auto file = std::make_unique<ClipFile>(path, settings_.fps);
        // The pre-roll first: every kept frame from `before` ahead of the start, the
        // event's own first frame included (it was handed over before the event began).
        cv::Mat decoded;
        for (const PrerollRing::Entry* e : ring_.Since(startTime - settings_.beforeSeconds)) {
            decoded = cv::imdecode(e->jpeg, cv::IMREAD_COLOR);
            if (!decoded.empty()) file->Feed(e->time, decoded);
        }
        open_.push_back({key, std::move(file), -1.0});
    } catch (const std::exception& e) {
        onClip_(key, path, e.what());
    }
}

void ClipRecorder::Finish(OpenClip& clip) {
    try {
        clip.file->Finish();
        onClip_(clip.key, clip.file->path(), {});
    } catch (const std::exception& e) {
        onClip_(clip.key, clip.file->path(), e.what());
    }
}

}  // namespace weapon_detect
