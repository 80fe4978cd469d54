// Whether each delivery channel (the MQTT broker, each web hook) takes messages now, said the
// moment that changes, and what came of each event message on each channel.
//
// A channel is up from its start until a send fails or its connection is lost (the sender
// reports it: MqttPublisher, WebhookSender); it is up again once a send or a connection
// succeeds. Each change is one line on standard error:
//   weapon-detect: MQTT broker 127.0.0.1:1883 unreachable: Connection refused
//   weapon-detect: MQTT broker 127.0.0.1:1883 reachable again
// (web hooks: "web hook 1 http://***@host:port/path …", the URL masked), the metric
// weapon_detect_delivery_up{channel="…"} and a "delivery" message to the listener (the page's
// live feed) with the channel's JSON:
//   {"channel": "mqtt", "target": "127.0.0.1:1883", "up": false, "since_ms": 1765436400123,
//    "error": "Connection refused"}
//
// Per-event outcomes (each event message's state on a channel: "pending", "delivered",
// "failed", with its attempts and last error) go to the outcome sink, when one is set.
//
// Threads: every member is safe from any thread (one lock). The listener and the sink are
// called under that lock, so that clearing them (SetListener({}), SetOutcomeSink({})) means
// none is running or will run after; they must return quickly and never call back here.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "store/utc_time.h"
#include "web/metrics_text.h"

namespace weapon_detect {

using DeliveryOutcome = std::function<void(long long eventId, const std::string& channel, const std::string& state,
                                           int attempts, const std::string& error)>;

class DeliveryHealth {
public:
    using Listener = std::function<void(const std::string& type, const nlohmann::ordered_json& data)>;

    // A channel, up from now. `channel` names it in the JSON and the metric ("mqtt",
    // "webhook 1"); `said` in the lines on standard error ("MQTT broker HOST:PORT"); `target`
    // is where it goes, already masked. Returns its index for Set and Outcome.
    size_t Add(const std::string& channel, const std::string& target, const std::string& said);
    // The channel's state now; a change is said, counted in the metric and told to the
    // listener. `error` says why it is down (ignored when up).
    void Set(size_t index, bool up, const std::string& error);
    bool up(size_t index) const;
    // One event message's outcome on the channel; eventId 0 (no event table) is not told.
    void Outcome(size_t index, long long eventId, const std::string& state, int attempts, const std::string& error);

    void SetListener(Listener listener);
    void SetOutcomeSink(DeliveryOutcome sink);

    // Every channel's JSON, in the order they were added.
    nlohmann::ordered_json Json() const;
    // weapon_detect_delivery_up; nothing without channels.
    void Metrics(MetricsText& m) const;

private:
    struct Channel {
        std::string channel, target, said;
        bool up = true;
        long long sinceMs = 0;
        std::string error;
    };
    static nlohmann::ordered_json JsonOf(const Channel& c);

    mutable std::mutex mutex_;
    std::vector<Channel> channels_;
    Listener listener_;
    DeliveryOutcome sink_;
};

}  // namespace weapon_detect
