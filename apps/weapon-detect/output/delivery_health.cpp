#include "output/delivery_health.h"

#include <cstdio>

namespace weapon_detect {

size_t DeliveryHealth::Add(const std::string& channel, const std::string& target, const std::string& said) {
    const std::lock_guard<std::mutex> lock(mutex_);
    channels_.push_back({channel, target, said, true, NowMs(), {}});
    return channels_.size() - 1;
}

void DeliveryHealth::Set(size_t index, bool up, const std::string& error) {
    const std::lock_guard<std::mutex> lock(mutex_);
    Channel& c = channels_.at(index);
    if (c.up == up) return;
    c.up = up;
    c.sinceMs = NowMs();
    c.error = up ? std::string() : error;
    if (up) {
        std::fprintf(stderr, "weapon-detect: %s reachable again\n", c.said.c_str());
    } else {
        std::fprintf(stderr, "weapon-detect: %s unreachable: %s\n", c.said.c_str(), c.error.c_str());
    }
    if (listener_) listener_("delivery", JsonOf(c));
}

bool DeliveryHealth::up(size_t index) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return channels_.at(index).up;
}

void DeliveryHealth::Outcome(size_t index, long long eventId, const std::string& state, int attempts,
                             const std::string& error) {
    if (eventId <= 0) return;
    const std::lock_guard<std::mutex> lock(mutex_);
    if (sink_) sink_(eventId, channels_.at(index).channel, state, attempts, error);
}

void DeliveryHealth::SetListener(Listener listener) {
    const std::lock_guard<std::mutex> lock(mutex_);
    listener_ = std::move(listener);
}

void DeliveryHealth::SetOutcomeSink(DeliveryOutcome sink) {
    const std::lock_guard<std::mutex> lock(mutex_);
    sink_ = std::move(sink);
}

nlohmann::ordered_json DeliveryHealth::JsonOf(const Channel& c) {
    return {{"channel", c.channel}, {"target", c.target}, {"up", c.up}, {"since_ms", c.sinceMs}, {"error", c.error}};
}

nlohmann::ordered_json DeliveryHealth::Json() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const Channel& c : channels_) list.push_back(JsonOf(c));
    return list;
}

void DeliveryHealth::Metrics(MetricsText& m) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (channels_.empty()) return;
    m.Family("weapon_detect_delivery_up", "gauge",
             "1 while the delivery channel (the MQTT broker, a web hook) takes messages, 0 while it is unreachable.");
    for (const Channel& c : channels_) m.Sample("weapon_detect_delivery_up", {{"channel", c.channel}}, c.up ? 1 : 0);
}

}  // namespace weapon_detect
