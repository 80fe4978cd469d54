// Alarm events, snapshots and camera states to an MQTT broker, through libmosquitto.
//
// Topics under a prefix (default "weapon-detect"):
//   <prefix>/available          "online" / "offline" (retained; "offline" is the last will)
//   <prefix>/<camera>/events    one JSON message per event start, improvement and end (QoS 1)
//   <prefix>/<camera>/snapshot  JPEG of the event's best frame (retained, QoS 1)
//   <prefix>/<camera>/state     "online" / "offline" / "failed" / "finished" (retained, QoS 1)
// <camera> is the camera id spelt as in file names (FileNameFor: letters, digits, '.', '-'
// and '_' kept, every other byte '_'), so that no id can add a level, a wildcard, a control
// character or invalid UTF-8 to a topic.
//
// The broker may be down at start or drop later: analysis goes on, the client reconnects
// in the background, and messages wait in a bounded queue until the broker has them (QoS 1
// messages are kept until acknowledged and sent again after a reconnection). What overflows
// the queue is counted (dropped()) and said once on standard error per overflow spell. The
// queue's bound holds for every message, also those the client could not hand over while
// connected. A message the client refuses for good (malformed, too large), or the broker
// acknowledges with a refusal (not authorised, quota exceeded), is dropped and counted
// (rejected()), never queued again.
//
// The broker's health (DeliveryHealth, channel "mqtt"): down when the connection is lost (seen
// by the client at once when the broker closes it, within two keep-alive intervals of
// kKeepAliveSeconds when it vanishes silently) or when no connection stands kDownAfter after
// the start or the last loss (a watcher thread looks every second and says why: refused,
// timed out, the broker's refusal); up at each accepted connection. Each message on an
// events topic reports its outcome (pending, delivered, failed) for its event.
//
// A camera's retained state: "failed" is its last (later states are not published), and
// SayOffline() makes every other camera's state "offline" before the program's own.
//
// MQTT 5 is spoken, so that the broker's reasons reach the messages (a refused connection,
// a disconnection, a refused message: "Retain not supported", "Not authorized"); a broker
// that answers it is an unsupported version gets MQTT 3.1.1 from the next connection on.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "output/delivery_health.h"

struct mosquitto;

namespace weapon_detect {

struct MqttSettings {
    std::string host;
    int port = 1883;
    std::string topicPrefix = "weapon-detect";
    std::string clientId;            // empty: one is made from the host name and the process id
    std::string username, password;  // from the environment, never from the command line
    size_t maxQueued = 1000;
    // Where the broker's health and the events' outcomes go; null: a DeliveryHealth of its own.
    DeliveryHealth* health = nullptr;
};

class MqttPublisher {
public:
    // Starts connecting in the background; throws std::runtime_error only for settings the
    // client library refuses.
    explicit MqttPublisher(MqttSettings settings);
    // The end of a run, in two steps so that the caller can wait for other outputs too:
    // SayOffline() queues "offline" on the availability topic (once); Close() counts what is
    // still not delivered (undelivered()), says why on standard error, and disconnects.
    // Messages published after Close() are ignored. The destructor does both, waiting up to
    // five seconds between them, if Close() was not called.
    void SayOffline();
    void Close();
    ~MqttPublisher();
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    // `eventId` (0 for none) is the event whose outcome the message reports.
    void PublishEvent(const std::string& camera, const std::string& json, long long eventId = 0);
    void PublishSnapshot(const std::string& camera, std::vector<unsigned char> jpeg);
    void PublishState(const std::string& camera, const std::string& state);
    // A camera whose state SayOffline() makes "offline" even if none was published for it.
    void AddCamera(const std::string& camera);
    // Retained, QoS 1: a topic of its own (discovery configs), or one under the camera's level.
    void PublishRetained(const std::string& topic, const std::string& payload);
    void PublishCameraRetained(const std::string& camera, const char* leaf, const std::string& payload);
    const std::string& topicPrefix() const { return settings_.topicPrefix; }

    long long dropped() const { return dropped_; }
    long long rejected() const { return rejected_; }
    // Messages still not delivered at Close().
    long long undelivered() const { return undelivered_; }
    bool connected() const { return connected_; }
    // Messages not yet acknowledged by the broker.
    size_t pending() const;

    // Empty when `prefix` can start topics, else why not (empty, a wildcard, an empty level,
    // a leading '$', a control character, not UTF-8, too long).
    static std::string CheckTopicPrefix(const std::string& prefix);

    static constexpr int kKeepAliveSeconds = 5;  // the least libmosquitto takes
    static constexpr std::chrono::seconds kDownAfter{3};

private:
    struct Message {
        std::string topic;
        std::vector<unsigned char> payload;
        bool retain = false;
        long long eventId = 0;  // the event whose outcome it reports; 0 for none
        int attempts = 0;       // times handed to the client
    };
    // The message's outcome for its event, if it has one.
    void Tell(const Message& message, const char* state, const std::string& error);
    // The watcher thread: says the broker down when no connection stands for kDownAfter.
    void Watch();
    void Enqueue(Message message);
    void SendLocked(Message message);   // expects mutex_ held
    void QueueLocked(Message message);  // expects mutex_ held; keeps the bound
    void OnConnect(int result);
    void OnDisconnect(int reason);
    void OnPublish(int mid, int reason);
    std::string Topic(const std::string& camera, const char* leaf) const;
    // Why the broker has not taken the messages: what it answered, or what connecting to
    // it gives now (refused, timed out, a bad address).
    // A connection is waited for at most `waitMs`.
    std::string Diagnose(int waitMs = 3000) const;
    // A reason code of the broker in words.
    std::string Reason(int code) const;

    MqttSettings settings_;
    std::unique_ptr<DeliveryHealth> ownHealth_;  // when the settings name none
    DeliveryHealth* health_ = nullptr;
    size_t channel_ = 0;  // the broker's index in health_
    mosquitto* client_ = nullptr;
    mutable std::mutex mutex_;
    std::deque<Message> queued_;       // waiting for a connection
    std::map<int, Message> inFlight_;  // sent, not yet acknowledged
    std::atomic<bool> connected_{false};
    std::atomic<bool> connectedOnce_{false};
    std::atomic<bool> v5_{true};          // MQTT 5 spoken (else 3.1.1): how reason codes read
    std::atomic<int> lastConnack_{0};     // the broker's last refusal of a connection, 0 for none
    std::atomic<int> lastDisconnect_{0};  // the broker's last reason for a disconnection, 0 for none
    std::atomic<int> saidConnack_{0};     // the refusal said on standard error last
    std::atomic<long long> dropped_{0};
    std::atomic<long long> rejected_{0};
    std::atomic<long long> undelivered_{0};
    bool overflowing_ = false;
    bool saidRefusal_ = false;
    bool offline_ = false;  // "offline" queued
    bool finished_ = false;
    std::map<std::string, std::string> states_;  // camera -> the last state published ("" for none yet)
    std::atomic<bool> closing_{false};           // Close() disconnects: no loss to say
    // The watcher's: when the last connection was lost (or the start), and its stop.
    std::mutex watchMutex_;
    std::chrono::steady_clock::time_point lostAt_;
    bool watching_ = true;
    std::condition_variable watchWake_;
    std::thread watcher_;  // last: it reads the members above
};

}  // namespace weapon_detect
