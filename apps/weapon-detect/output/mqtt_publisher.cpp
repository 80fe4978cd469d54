#include "output/mqtt_publisher.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include <mosquitto.h>

namespace weapon_detect {
namespace {
constexpr int kQos = 1;
constexpr int kKeepAliveSeconds = 30;
const char* const kOnline = "online";
const char* const kOffline = "offline";

struct LibraryInit {
    LibraryInit() { mosquitto_lib_init(); }
};
}  // namespace

void MqttPublisher::ParseAddress(const std::string& address, std::string& host, int& port) {
    const auto colon = address.rfind(':');
    host = address.substr(0, colon);
    port = 1883;
    if (colon != std::string::npos) {
        const std::string text = address.substr(colon + 1);
        size_t used = 0;
        int value = -1;
        try {
            value = std::stoi(text, &used);
        } catch (const std::exception&) {
        }
        if (used != text.size() || value < 1 || value > 65535) {
            throw std::invalid_argument("bad MQTT port '" + text + "' in " + address);
        }
        port = value;
    }
    if (host.empty()) throw std::invalid_argument("no MQTT host in '" + address + "'");
}

MqttPublisher::MqttPublisher(MqttSettings settings) : settings_(std::move(settings)) {
    static const LibraryInit init;
    if (settings_.clientId.empty()) {
        char host[64] = "host";
        gethostname(host, sizeof host - 1);
        settings_.clientId = "weapon-detect-" + std::string(host) + "-" + std::to_string(getpid());
    }
    client_ = mosquitto_new(settings_.clientId.c_str(), true, this);
    if (!client_) throw std::runtime_error("cannot make an MQTT client");
    if (!settings_.username.empty() &&
        mosquitto_username_pw_set(client_, settings_.username.c_str(),
                                  settings_.password.empty() ? nullptr : settings_.password.c_str()) != MOSQ_ERR_SUCCESS) {
        throw std::runtime_error("the MQTT client refuses the user name");
    }
    const std::string available = settings_.topicPrefix + "/available";
    mosquitto_will_set(client_, available.c_str(), 7, kOffline, kQos, true);
    mosquitto_connect_callback_set(client_, [](mosquitto*, void* self, int rc) {
        static_cast<MqttPublisher*>(self)->OnConnect(rc);
    });
    mosquitto_disconnect_callback_set(client_, [](mosquitto*, void* self, int) {
        static_cast<MqttPublisher*>(self)->OnDisconnect();
    });
    mosquitto_publish_callback_set(client_, [](mosquitto*, void* self, int mid) {
        static_cast<MqttPublisher*>(self)->OnPublish(mid);
    });
    mosquitto_reconnect_delay_set(client_, 1, 10, true);
    // A broker that is down now is retried by the network thread; analysis does not wait.
    mosquitto_connect_async(client_, settings_.host.c_str(), settings_.port, kKeepAliveSeconds);
    if (mosquitto_loop_start(client_) != MOSQ_ERR_SUCCESS) {
        mosquitto_destroy(client_);
        throw std::runtime_error("cannot start the MQTT client's thread");
    }
    Enqueue({available, std::vector<unsigned char>(kOnline, kOnline + 6), true});
}

MqttPublisher::~MqttPublisher() {
    Enqueue({settings_.topicPrefix + "/available", std::vector<unsigned char>(kOffline, kOffline + 7), true});
    // What waits is delivered if the broker is there, or comes back, within a few seconds.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (pending() > 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (pending() > 0) {
        std::fprintf(stderr, "weapon-detect: %zu MQTT messages were not delivered before the end\n", pending());
    }
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, true);
    mosquitto_destroy(client_);
}

std::string MqttPublisher::Topic(const std::string& camera, const char* leaf) const {
    // Topic levels cannot hold the wildcards or the separator.
    std::string level = camera;
    for (char& c : level) {
        if (c == '/' || c == '+' || c == '#') c = '_';
    }
    return settings_.topicPrefix + "/" + level + "/" + leaf;
}

void MqttPublisher::PublishEvent(const std::string& camera, const std::string& json) {
    Enqueue({Topic(camera, "events"), std::vector<unsigned char>(json.begin(), json.end()), false});
}

void MqttPublisher::PublishSnapshot(const std::string& camera, std::vector<unsigned char> jpeg) {
    Enqueue({Topic(camera, "snapshot"), std::move(jpeg), true});
}

void MqttPublisher::PublishState(const std::string& camera, const std::string& state) {
    Enqueue({Topic(camera, "state"), std::vector<unsigned char>(state.begin(), state.end()), true});
}

void MqttPublisher::PublishRetained(const std::string& topic, const std::string& payload) {
    Enqueue({topic, std::vector<unsigned char>(payload.begin(), payload.end()), true});
}

void MqttPublisher::PublishCameraRetained(const std::string& camera, const char* leaf, const std::string& payload) {
    PublishRetained(Topic(camera, leaf), payload);
}

size_t MqttPublisher::pending() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queued_.size() + inFlight_.size();
}

void MqttPublisher::Enqueue(Message message) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (connected_) {
        SendLocked(std::move(message));
        return;
    }
    if (queued_.size() + inFlight_.size() >= settings_.maxQueued) {
        // The oldest message makes room: the newest say most about what happens now.
        if (!queued_.empty()) queued_.pop_front();
        ++dropped_;
        if (!overflowing_) {
            overflowing_ = true;
            std::fprintf(stderr, "weapon-detect: the MQTT queue is full (%zu messages); dropping the oldest\n",
                         settings_.maxQueued);
        }
    }
    queued_.push_back(std::move(message));
}

void MqttPublisher::SendLocked(Message message) {
    int mid = 0;
    const int rc = mosquitto_publish(client_, &mid, message.topic.c_str(), static_cast<int>(message.payload.size()),
                                     message.payload.data(), kQos, message.retain);
    if (rc == MOSQ_ERR_SUCCESS) {
        inFlight_.emplace(mid, std::move(message));
    } else {
        queued_.push_back(std::move(message));  // sent again at the next connection
    }
}

void MqttPublisher::OnConnect(int result) {
    if (result != 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    connected_ = true;
    overflowing_ = false;
    // Unacknowledged messages first, then those that waited, in order.
    std::deque<Message> resend;
    for (auto& [mid, message] : inFlight_) resend.push_back(std::move(message));
    inFlight_.clear();
    for (auto& message : queued_) resend.push_back(std::move(message));
    queued_.clear();
    for (auto& message : resend) SendLocked(std::move(message));
}

void MqttPublisher::OnDisconnect() { connected_ = false; }

void MqttPublisher::OnPublish(int mid) {
    std::lock_guard<std::mutex> lock(mutex_);
    inFlight_.erase(mid);
}

}  // namespace weapon_detect
