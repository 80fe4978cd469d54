// Alarm events, snapshots and camera states to an MQTT broker, through libmosquitto.
//
// Topics under a prefix (default "weapon-detect"):
//   <prefix>/available          "online" / "offline" (retained; "offline" is the last will)
//   <prefix>/<camera>/events    one JSON message per event start, improvement and end (QoS 1)
//   <prefix>/<camera>/snapshot  JPEG of the event's best frame (retained, QoS 1)
//   <prefix>/<camera>/state     "online" / "offline" / "failed" (retained, QoS 1)
// <camera> is the camera id spelt as in file names (FileNameFor: letters, digits, '.', '-'
// and '_' kept, every other byte '_'), so that no id can add a level, a wildcard, a control
// character or invalid UTF-8 to a topic.
//
// The broker may be down at start or drop later: analysis goes on, the client reconnects
// in the background, and messages wait in a bounded queue until the broker has them (QoS 1
// messages are kept until acknowledged and sent again after a reconnection). What overflows
// the queue is counted (dropped()) and said once on standard error per overflow spell. The
// queue's bound holds for every message, also those the client could not hand over while
// connected. A message the client refuses for good (malformed, too large) is dropped and
// counted (rejected()), never queued again.
#pragma once

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

struct mosquitto;

namespace weapon_detect {

struct MqttSettings {
    std::string host;
    int port = 1883;
    std::string topicPrefix = "weapon-detect";
    std::string clientId;  // empty: one is made from the host name and the process id
    std::string username, password;  // from the environment, never from the command line
    size_t maxQueued = 1000;
};

class MqttPublisher {
public:
    // Starts connecting in the background; throws std::runtime_error only for settings the
    // client library refuses.
    explicit MqttPublisher(MqttSettings settings);
    // Says "offline" on the availability topic, waits up to five seconds for what is still
    // queued to be delivered (the broker may come back meanwhile), and disconnects. Messages
    // published after that are ignored. Called by the destructor if not before.
    void Finish();
    ~MqttPublisher();
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    void PublishEvent(const std::string& camera, const std::string& json);
    void PublishSnapshot(const std::string& camera, std::vector<unsigned char> jpeg);
    void PublishState(const std::string& camera, const std::string& state);
    // Retained, QoS 1: a topic of its own (discovery configs), or one under the camera's level.
    void PublishRetained(const std::string& topic, const std::string& payload);
    void PublishCameraRetained(const std::string& camera, const char* leaf, const std::string& payload);
    const std::string& topicPrefix() const { return settings_.topicPrefix; }

    long long dropped() const { return dropped_; }
    long long rejected() const { return rejected_; }
    // Messages still not delivered when Finish() gave up waiting.
    long long undelivered() const { return undelivered_; }
    bool connected() const { return connected_; }
    // Messages not yet acknowledged by the broker.
    size_t pending() const;

    // Empty when `prefix` can start topics, else why not (empty, a wildcard, a control
    // character, not UTF-8, too long).
    static std::string CheckTopicPrefix(const std::string& prefix);

private:
    struct Message {
        std::string topic;
        std::vector<unsigned char> payload;
        bool retain = false;
    };
    void Enqueue(Message message);
    void SendLocked(Message message);   // expects mutex_ held
    void QueueLocked(Message message);  // expects mutex_ held; keeps the bound
    void OnConnect(int result);
    void OnDisconnect();
    void OnPublish(int mid);
    std::string Topic(const std::string& camera, const char* leaf) const;
    // Why the broker has not taken the messages: what it answered, or what connecting to
    // it gives now (refused, timed out, a bad address).
    std::string Diagnose() const;

    MqttSettings settings_;
    mosquitto* client_ = nullptr;
    mutable std::mutex mutex_;
    std::deque<Message> queued_;         // waiting for a connection
    std::map<int, Message> inFlight_;    // sent, not yet acknowledged
    std::atomic<bool> connected_{false};
    std::atomic<bool> connectedOnce_{false};
    std::atomic<int> lastConnack_{0};  // the broker's last refusal, 0 for none
    std::atomic<long long> dropped_{0};
    std::atomic<long long> rejected_{0};
    std::atomic<long long> undelivered_{0};
    bool overflowing_ = false;
    bool finished_ = false;
};

}  // namespace weapon_detect
