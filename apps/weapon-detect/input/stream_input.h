// A stream URL read with FFmpeg's demuxers: the packets of its best video stream, one at a
// time, on the thread that calls (a live camera's reader). Every call that waits on the
// network gives up when `stopped` says so, and at the deadline the call sets (opening: the
// open bound; reading: the read bound since the last packet), so a stop never waits on a
// silent server. FFmpeg's own log stays quiet: its lines may carry a URL's password.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "input/av_objects.h"

namespace weapon_detect {

class StreamInput {
public:
    using Stopped = std::function<bool()>;

    // Opens `url` and finds its video stream within `openMs`; null when it cannot, with the
    // reason in `why` (FFmpeg's words, never the URL).
    static std::unique_ptr<StreamInput> Open(const std::string& url, int openMs, int readMs, Stopped stopped,
                                             std::string& why);
    StreamInput(const StreamInput&) = delete;
    StreamInput& operator=(const StreamInput&) = delete;

    // The next packet of the video stream into `packet` (its old contents released). False
    // at the end of the stream, a read error, a stop or `readMs` without a packet, with the
    // reason in `why`.
    bool Read(AVPacket* packet, std::string& why);

    const AVCodecParameters& codec() const { return *format_->streams[stream_]->codecpar; }
    // Every packet is a whole picture (Motion JPEG and the like): any one decodes alone.
    bool intraOnly() const { return intraOnly_; }

private:
    struct Key {};  // only Open makes one

public:
    StreamInput(Key, Stopped stopped) : stopped_(std::move(stopped)) {}

private:
    static int Interrupt(void* self);

    Stopped stopped_;
    std::chrono::steady_clock::time_point deadline_;
    int readMs_ = 10000;
    av::FormatInput format_;
    int stream_ = -1;
    bool intraOnly_ = false;
};

}  // namespace weapon_detect
