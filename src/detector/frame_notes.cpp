// Frames that cannot be analysed as they come: turned away (empty, too small, a pixel type
// the engine does not take) or converted (16-bit). A host gets one line per camera and kind
// on the error stream, not one per frame, and never silence.
#include <string>

#include "common/pixel_types.h"
#include "detector/ZRVCustomWD.h"
#include "detector/console.h"

namespace {
constexpr int kSmallestFrameSide = 10;
}  // namespace

bool ZRVCustomWD::CheckFrame(const cv::Mat& frame, const std::string& cameraId) {
    if (frame.empty()) {
        NoteOnce(cameraId, "empty frames are not analysed");
        return false;
    }
    if (frame.cols < kSmallestFrameSide || frame.rows < kSmallestFrameSide) {
        NoteOnce(cameraId, "frames smaller than 10 x 10 pixels are not analysed");
        return false;
    }
    if (!zrv::pixels::Supported(frame.type())) {
        NoteOnce(cameraId, "frames of type " + cv::typeToString(frame.type()) +
                               " are not analysed (8- or 16-bit unsigned pixels with 1, 3 or 4 channels are)");
        return false;
    }
    if (zrv::pixels::NeedsScaling(frame.type())) {
        NoteOnce(cameraId, "16-bit frames are scaled to 8 bits for analysis");
    }
    return true;
}

void ZRVCustomWD::NoteOnce(const std::string& cameraId, const std::string& what) {
    try {
        if (_notes.size() >= kMaxNotes) return;
        if (!_notes.insert(cameraId + '\n' + what).second) return;
        const std::string line = "Warning: camera '" + cameraId + "': " + what + ".";
        zrv::detector::ConsoleLine(zrv::detector::ConsoleStream::Error, line.c_str());
    } catch (...) {
        // A note that cannot be made (out of memory) must not cost the frame.
    }
}
