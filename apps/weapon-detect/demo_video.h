// Writes the synthetic demo scene to a video file, so that the demo runs through the same
// file input as real footage.
#pragma once

#include <atomic>
#include <string>

namespace weapon_detect {

// Writes the whole scene to `path` (Motion-JPEG in AVI) and its weapon's boxes, in the
// MOTChallenge text format, to `groundTruthPath`. Throws std::runtime_error when a file
// cannot be written; stops early, writing neither, when `stop` is set.
void WriteDemoVideo(const std::string& path, const std::string& groundTruthPath, const std::atomic<bool>& stop);

}  // namespace weapon_detect
