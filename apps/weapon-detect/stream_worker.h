// One input stream: reads frames, hands every stride-th one to its own detector, writes
// records, the annotated video and alarm events. Runs on a worker thread of its own.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "output/jsonl_writer.h"
#include "loader/plugin_loader.h"
#include "output/output_file.h"
#include "output/video_output.h"
#include "input/video_source.h"

namespace weapon_detect {

using zrv::PluginModule;

struct StreamSettings {
    std::string cameraId;
    int stride = 1;             // analyse every stride-th frame
    long long maxFrames = 0;    // frames to read at most; 0 for all
    std::string videoPath;      // annotated video, empty for none
    std::string snapshotDir;    // event snapshots, empty for none
    double quietSeconds = 2.0;  // an event ends after this long without a detection
};

struct StreamProgress {
    std::atomic<long long> frames{0};      // frames read
    std::atomic<long long> analysed{0};    // frames handed to the detector
    std::atomic<long long> detections{0};
    std::atomic<long long> events{0};
};

class StreamWorker {
public:
    StreamWorker(std::unique_ptr<VideoSource> source, PluginModule::Detector detector,
                 StreamSettings settings, JsonLinesWriter& records);

    // Processes the stream until it ends or `stop` is set. Throws std::runtime_error when
    // an output cannot be written.
    void Run(const std::atomic<bool>& stop);
    // Finishes and commits the annotated video (after Run returned normally); throws
    // std::runtime_error when it is incomplete.
    void CommitOutputs();

    // Removes the part files of the outputs without committing anything.
    void DiscardOutputs();

    const StreamSettings& settings() const { return settings_; }
    const StreamProgress& progress() const { return progress_; }

private:
    std::unique_ptr<VideoSource> source_;
    PluginModule::Detector detector_;
    StreamSettings settings_;
    JsonLinesWriter& records_;
    StreamProgress progress_;
    std::unique_ptr<VideoOutput> video_;
};

}  // namespace weapon_detect
