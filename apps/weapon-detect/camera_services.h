// What one camera hands to the services beside its records: event clips with their pre-roll,
// the live view and the event table of the page, web hooks, and the hub's "weapon" state.
//
// Threads: Analysed, Event, EventRecord, Close and Discard are called by the camera's worker;
// StateChanged by its live reader. Clip results arrive on the clip recorder's thread. Every
// pointer given to the constructor may be null (that service is off) and must outlive this.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "alarm_events.h"
#include "output/clip_recorder.h"
#include "output/mqtt_publisher.h"
#include "output/webhook_sender.h"
#include "web/camera_status.h"
#include "web/event_table.h"
#include "zrv/ZRVCustomClass.h"

namespace weapon_detect {

struct CameraServiceSettings {
    std::string cameraId;
    std::string snapshotDir;  // clips go beside the snapshots; empty: no clips
    ClipSettings clips;       // clips.clips false: none
    cv::Size reduced{960, 540};  // clips and the live view fit in this size
    std::vector<std::string> inputs;  // every camera's input: a clip never replaces one
};

class CameraServices {
public:
    CameraServices(CameraServiceSettings settings, CameraStatus* status, EventTable* events, WebhookSender* webhooks,
                   MqttPublisher* mqtt);
    ~CameraServices();
    CameraServices(const CameraServices&) = delete;
    CameraServices& operator=(const CameraServices&) = delete;

    // One analysed frame (not changed here) with its detections, stream time, delay
    // (negative for files) and the detector's seconds.
    void Analysed(const cv::Mat& frame, const std::vector<CustomObject>& detections, double time, double delay,
                  double detectorSeconds);
    // An event began ("start"), improved ("update") or ended ("end", with its snapshot path).
    void Event(const AlarmEvent& event, const char* phase, const std::string& snapshot);
    // The event's record with the path its clip will have once written (null without clips).
    nlohmann::ordered_json EventRecord(const AlarmEvent& event, const std::string& snapshot, const char* phase) const;
    void StateChanged(bool online);
    // Ends the clips with what they have and commits them; after the last Event.
    void Close();
    void Discard();

    const ClipRecorder* recorder() const { return recorder_.get(); }

private:
    // Where the event's clip goes; empty without clips or when that would replace an input.
    std::string ClipPath(const AlarmEvent& event) const;
    void ClipDone(long long key, const std::string& path, const std::string& error);

    CameraServiceSettings settings_;
    CameraStatus* status_;
    EventTable* events_;
    WebhookSender* webhooks_;
    MqttPublisher* mqtt_;
    std::unique_ptr<ClipRecorder> recorder_;
};

}  // namespace weapon_detect
