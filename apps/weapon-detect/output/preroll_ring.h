// The pre-roll of one camera: the last seconds of reduced frames, each kept as a JPEG, so
// that a clip can begin before the event that asks for it.
//
// Bounded twice: by time (frames older than `seconds` before the newest are dropped) and by
// bytes (the oldest frames are dropped while the JPEGs together exceed `maxBytes`). Not
// thread-safe: owned and used by one ClipRecorder thread.
#pragma once

#include <cstddef>
#include <deque>
#include <vector>

#include <opencv2/core.hpp>

namespace weapon_detect {

class PrerollRing {
public:
    struct Entry {
        double time = 0.0;
        std::vector<unsigned char> jpeg;
    };

    PrerollRing(double seconds, size_t maxBytes) : seconds_(seconds), maxBytes_(maxBytes) {}

    // Keeps `jpeg` as the newest frame, then drops what falls out of either bound. A frame
    // larger than the byte bound on its own is not kept.
    void Add(double time, std::vector<unsigned char> jpeg);
    // The frames from `from` on, oldest first.
    std::vector<const Entry*> Since(double from) const;
    size_t bytes() const { return bytes_; }
    size_t size() const { return entries_.size(); }

private:
    double seconds_;
    size_t maxBytes_;
    size_t bytes_ = 0;
    std::deque<Entry> entries_;
};

}  // namespace weapon_detect
