#include "output/clip_recorder.h"

#include <algorithm>

#include <opencv2/imgcodecs.hpp>

namespace weapon_detect {
namespace {
double SteadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
const std::vector<int> kJpegQuality{cv::IMWRITE_JPEG_QUALITY, 80};
}  // namespace

ClipRecorder::ClipRecorder(ClipSettings settings, ClipDone onClip, LiveJpeg onLive, ClipSkipped onSkip)
    : settings_(settings),
      onClip_(std::move(onClip)),
      onSkip_(std::move(onSkip)),
      onLive_(std::move(onLive)),
      ring_(settings.clips ? settings.beforeSeconds : 0.0, settings.ringBytes),
      thread_([this] { Loop(); }) {}

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
        commands_.push_back({Command::Frame, time, std::move(frame), 0, {}, nullptr});
    }
    wake_.notify_one();
}

bool ClipRecorder::Queue(Command command) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || !settings_.clips) {
            if (command.file) command.file->Discard();
            return false;
        }
        commands_.push_back(std::move(command));
    }
    wake_.notify_one();
    return true;
}

bool ClipRecorder::Begin(long long key, std::unique_ptr<ClipFile> file, double startTime) {
    return Queue({Command::Begin, startTime, {}, key, {}, std::move(file)});
}

bool ClipRecorder::Begin(long long key, const std::string& path, double startTime) {
    return Queue({Command::Begin, startTime, {}, key, path, nullptr});
}

void ClipRecorder::End(long long key, double endTime) { Queue({Command::End, endTime, {}, key, {}, nullptr}); }

void ClipRecorder::EndInput() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
}

void ClipRecorder::HurryAt(Clock::time_point at) {
    const Clock::rep wanted = at.time_since_epoch().count();
    Clock::rep current = hurryAt_.load();
    while (wanted < current && !hurryAt_.compare_exchange_weak(current, wanted)) {
    }
}

bool ClipRecorder::Hurried() const { return Clock::now().time_since_epoch().count() >= hurryAt_.load(); }

bool ClipRecorder::Wait(Clock::time_point deadline) {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!ended_.wait_until(lock, deadline, [this] { return finished_; })) return false;
    }
    // The thread made its last call; joining it only collects it.
    const std::lock_guard<std::mutex> lock(joining_);
    if (thread_.joinable()) thread_.join();
    return true;
}

void ClipRecorder::Close() {
    EndInput();
    Wait(Clock::time_point::max());
}

void ClipRecorder::Discard() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        discard_ = true;
    }
    wake_.notify_one();
    Wait(Clock::time_point::max());
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
            case Command::Frame: OnFrame(command.time, command.frame); break;
            case Command::Begin: OnBegin(command); break;
            case Command::End: OnEnd(command.key, command.time); break;
        }
    }
    bool discard = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        discard = discard_;
        // A Begin never taken in (a discard) still holds its part file.
        for (Command& left : commands_) {
            if (left.file) left.file->Discard();
        }
        commands_.clear();
    }
    for (OpenClip& clip : open_) {
        if (discard) {
            clip.file->Discard();
        } else {
            Finish(clip);
        }
    }
    open_.clear();
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        finished_ = true;
    }
    ended_.notify_all();
}

void ClipRecorder::OnFrame(double time, const cv::Mat& frame) {
    // Hurrying, a frame only joins the ring: an event still to begin takes its first frame
    // from there.
    const bool hurried = Hurried();
    const double now = SteadySeconds();
    // Asked at each frame: nobody watching, no JPEG is made for the live view.
    const double interval = !hurried && onLive_ && settings_.liveInterval ? settings_.liveInterval() : 0.0;
    const bool liveDue = interval > 0 && now - lastLive_ >= interval;
    std::vector<unsigned char> jpeg;
    if (settings_.clips || liveDue) cv::imencode(".jpg", frame, jpeg, kJpegQuality);
    if (liveDue && !jpeg.empty()) {
        lastLive_ = now;
        // Without clips the live view takes the bytes; with them the ring keeps its own.
        onLive_(settings_.clips ? std::make_shared<const std::vector<unsigned char>>(jpeg)
                                : std::make_shared<const std::vector<unsigned char>>(std::move(jpeg)));
    }
    if (!settings_.clips) return;
    if (!jpeg.empty()) ring_.Add(time, std::move(jpeg));
    ringBytes_ = ring_.bytes();
    if (hurried) return;
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

void ClipRecorder::OnBegin(Command& command) {
    const long long key = command.key;
    const double startTime = command.time;
    const std::string path = command.file ? command.file->path() : command.path;
    std::string refusal;
    if (open_.size() >= kOpenClips) {
        refusal = "more than " + std::to_string(kOpenClips) + " clips at once";
    } else if (settings_.mayStart) {
        refusal = settings_.mayStart();
    }
    if (!refusal.empty()) {
        if (command.file) command.file->Discard();
        const std::string& reason = refusal;
        if (onSkip_) {
            onSkip_(key, reason);
        } else {
            onClip_(key, path, reason);
        }
        return;
    }
    try {
        std::unique_ptr<ClipFile> file =
            command.file ? std::move(command.file) : std::make_unique<ClipFile>(path, settings_.fps);
        // The pre-roll first: every kept frame from `before` ahead of the start, the
        // event's own first frame included (it was handed over before the event began).
        // Hurrying, the rest of the pre-roll is left out but the event's first frame goes in.
        const std::vector<const PrerollRing::Entry*> entries = ring_.Since(startTime - settings_.beforeSeconds);
        cv::Mat decoded;
        bool cut = false;
        for (const PrerollRing::Entry* e : entries) {
            if (!cut && e->time < startTime && Hurried()) cut = true;
            if (cut && e->time < startTime && e != entries.back()) continue;
            if (cut) file->SkipTo(e->time);
            decoded = cv::imdecode(e->jpeg, cv::IMREAD_COLOR);
            if (!decoded.empty()) file->Feed(e->time, decoded);
            if (cut) break;
        }
        open_.push_back({key, std::move(file), -1.0});
    } catch (const std::exception& e) {
        if (command.file) command.file->Discard();
        onClip_(key, path, e.what());
    }
}

void ClipRecorder::OnEnd(long long key, double endTime) {
    for (auto it = open_.begin(); it != open_.end(); ++it) {
        if (it->key != key) continue;
        it->endTime = endTime;
        // Hurrying, no frame goes into a clip any more: an ended event's clip is complete.
        if (Hurried()) {
            Finish(*it);
            open_.erase(it);
        }
        return;
    }
}

void ClipRecorder::Finish(OpenClip& clip) {
    try {
        const std::string path = clip.file->Finish();
        onClip_(clip.key, path, {});
    } catch (const std::exception& e) {
        onClip_(clip.key, clip.file->path(), e.what());
    }
}

}  // namespace weapon_detect
