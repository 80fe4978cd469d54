// One camera: reads frames, hands them to its own detector, writes records, the annotated
// video, alarm events with snapshots, camera states and periodic stats, and publishes events
// over MQTT when asked. Runs on a worker thread of its own.
//
// Files and image sequences are read frame by frame, every one analysed. Live inputs (and
// files with --realtime) are read by a LiveSource that keeps only the newest frame: the
// analysis takes the newest one, the others are counted as dropped, and the input is
// reopened when it stops delivering; a file played so ends at its end (with --loop it starts
// over). A live camera's annotated video plays at the camera's measured rate (LiveVideo).
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "alarm_events.h"
#include "camera/area_rules.h"
#include "input/live_source.h"
#include "input/video_source.h"
#include "loader/plugin_loader.h"
#include "evaluation/scorer.h"
#include "output/jsonl_writer.h"
#include "output/mqtt_publisher.h"
#include "output/video_output.h"

namespace weapon_detect {

using zrv::PluginModule;
class CameraServices;

struct StreamSettings {
    std::string input;
    std::string cameraId;
    int stride = 1;             // analyse every stride-th frame
    long long maxFrames = 0;    // frames to read at most; 0 for all
    std::string videoPath;      // annotated video, empty for none
    std::string snapshotDir;    // event snapshots, empty for none
    double quietSeconds = 2.0;  // an event ends after this long without a detection
    bool realtime = false;      // newest frame only, with reconnection
    bool loop = false;          // with realtime: a file starts over at its end instead of ending
    LiveSettings live;
    double statsSeconds = 0.0;  // a stats record this often; 0 for none
    std::string groundTruth;    // labelled boxes to score the run against, empty for none
    CameraAreas areas;          // masks and zones: which detections raise alarms
};

struct StreamProgress {
    std::atomic<long long> frames{0};      // frames read
    std::atomic<long long> analysed{0};    // frames handed to the detector
    std::atomic<long long> dropped{0};     // live frames never analysed
    std::atomic<long long> decoded{0};     // frames decoded (a live stream's reader decodes only some)
    std::atomic<long long> detections{0};  // every detection the detector reported, masked ones too
    std::atomic<long long> masked{0};      // detections left out by a mask (camera/areas.h)
    std::atomic<long long> outsideZones{0};  // detections left out as outside the required zones
    std::atomic<long long> events{0};
    std::atomic<long long> total{0};       // frames in the input when known, else 0
    std::atomic<double> delay{0.0};        // capture to result of the last live frame, seconds
    std::atomic<double> cameraFps{0.0};
    std::atomic<bool> online{true};
    std::atomic<bool> failed{false};
    std::atomic<long long> errors{0};  // an output not written or an input not read whole; analysis went on
    // CPU time of the worker's thread inside the detector's calls, in nanoseconds (the
    // inference runtime's own threads not included): tells the passes' share of the worker's
    // time from that of taking and converting frames.
    std::atomic<long long> detectorCpuNs{0};
};

class StreamWorker {
public:
    // `source` is the opened input for frame-by-frame reading; null for a realtime camera,
    // whose input the worker opens itself. `mqtt` may be null.
    StreamWorker(std::unique_ptr<VideoSource> source, PluginModule::Detector detector, StreamSettings settings,
                 JsonLinesWriter& records, MqttPublisher* mqtt, std::chrono::steady_clock::time_point start);

    // Processes the stream until it ends or `stop` is set. Throws std::runtime_error when
    // an output cannot be written.
    void Run(const std::atomic<bool>& stop);
    // Finishes and commits the annotated video (after Run returned); throws
    // std::runtime_error when it is incomplete.
    void CommitOutputs();
    // Removes the part files of the outputs without committing anything.
    void DiscardOutputs();
    // Says that this camera failed: a message on standard error, a record (unless the
    // records cannot be written) and the MQTT state. Commits no output: the caller still
    // calls CommitOutputs or DiscardOutputs.
    void ReportFailure(const std::string& reason);

    // The run's score against its ground truth, if it has one (after Run). Throws
    // GroundTruthError when the ground truth does not fit the video.
    std::optional<Score> FinishScore();

    const StreamSettings& settings() const { return settings_; }
    JsonLinesWriter& records() const { return records_; }
    const StreamProgress& progress() const { return progress_; }

    // Clips, the page, web hooks: told of every analysed frame, event and state change.
    // Set before Run; `services` must outlive the worker's use of it.
    void Attach(CameraServices* services) { services_ = services; }

private:
    // Every frame of a file or image sequence, in order (Run's part for non-realtime inputs).
    void RunFile(const std::atomic<bool>& stop);
    // The newest frame each time, from a LiveSource that reconnects (Run's part for realtime
    // inputs); throws when the input gave up without delivering a single frame.
    void RunLive(const std::atomic<bool>& stop);
    // An input that ended before its declared end: a message, an error record, an error count.
    void ReportEndedEarly(const std::string& early);
    void Analyse(cv::Mat& frame, long long index, double streamTime, double captureTime);
    void WriteEvent(const AlarmEvent& event);
    // Moves the detections the masks or the required zones leave out into ignored_ (in
    // order); returns the zones the others touched (bit k: settings_.areas.zones[k]).
    uint64_t ApplyAreas(std::vector<CustomObject>& detections, cv::Size frame);
    void PublishEvent(const AlarmEvent& event, const char* phase);
    void SetState(bool online, const std::string& reason, double time);
    // Opens the annotated video; when it cannot be, says so once and goes on without it.
    void OpenVideo(double fps, cv::Size size);
    // The video cannot be written: said once, counted and recorded; the analysis goes on.
    void VideoFailed(const std::string& reason);
    nlohmann::ordered_json EventJson(const AlarmEvent& event, const std::string& snapshot, const char* phase) const;
    double Now() const;

    std::unique_ptr<VideoSource> source_;
    PluginModule::Detector detector_;
    StreamSettings settings_;
    JsonLinesWriter& records_;
    MqttPublisher* mqtt_;
    CameraServices* services_ = nullptr;
    std::chrono::steady_clock::time_point start_;
    StreamProgress progress_;
    std::unique_ptr<VideoOutput> video_;    // a file's, read frame by frame
    std::unique_ptr<LiveVideo> liveVideo_;  // a live camera's (or a file played as one)
    std::unique_ptr<AlarmTracker> alarms_;
    std::unique_ptr<Scorer> scorer_;
    std::unique_ptr<AreaRules> areaRules_;      // null: the camera has no masks or zones
    std::unique_ptr<AreaOverlay> areaOverlay_;  // draws them on the video and the snapshots
    std::vector<CustomObject> ignored_;         // this frame's masked detections (reused)
    std::vector<const char*> ignoredWhy_;       // IgnoredReason of each
    bool videoFailed_ = false;
    bool reachedEnd_ = false;    // the input ended by itself (not a stop or a frame limit)
    bool tooSmallSaid_ = false;  // frames too small to search were said once
    double nextStats_ = 0.0;
    long long statsAnalysed_ = 0;
    double statsTime_ = 0.0;
};

}  // namespace weapon_detect
