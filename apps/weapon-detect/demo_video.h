// Writes the synthetic demo scene to a video file, so that the demo runs through the same
// file input as real footage.
#pragma once

#include <atomic>
#include <string>

namespace weapon_detect {

// Writes the whole scene to `path` (Motion-JPEG in AVI). Throws std::runtime_error when the
// file cannot be written; stops early when `stop` is set.
void WriteDemoVideo(const std::string& path, const std::atomic<bool>& stop);

}  // namespace weapon_detect
