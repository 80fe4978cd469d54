#include "output/mqtt_publisher.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include "output/output_file.h"

namespace weapon_detect {
namespace {
constexpr int kQos = 1;
const char* const kOnline = "online";
const char* const kOffline = "offline";

struct LibraryInit {
    LibraryInit() { mosquitto_lib_init(); }
};
}  // namespace

// A reason code of the broker in words: MQTT 5 codes from 0x80 on, else MQTT 3.1.1 ones.
std::string MqttPublisher::Reason(int code) const {
    if (v5_ || code >= 0x80) return mosquitto_reason_string(code);
    return mosquitto_connack_string(code);
}

std::string MqttPublisher::Diagnose(int waitMs) const {
    const int refused = lastConnack_;
    if (refused != 0) return "the broker refused the connection: " + Reason(refused);
    const int disconnected = lastDisconnect_;
    if (disconnected != 0) return "the broker disconnected the client: " + Reason(disconnected);
    if (connected_) return "the broker had not acknowledged them yet";
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int lookup = getaddrinfo(settings_.host.c_str(), std::to_string(settings_.port).c_str(), &hints, &found);
    if (lookup != 0) return std::string("bad address: ") + gai_strerror(lookup);
    std::string why = "no address to connect to";
    for (addrinfo* a = found; a; a = a->ai_next) {
        const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        int error = connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
        if (error == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            if (poll(&p, 1, waitMs) == 1) {
                socklen_t length = sizeof error;
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
            } else {
                error = ETIMEDOUT;
            }
        }
        close(fd);
        if (error == 0) {
            why = connectedOnce_ ? "the connection was lost" : "the broker took the connection but never answered";
            break;
        }
        why = error == ETIMEDOUT ? "timed out" : std::string(std::strerror(error));
    }
    freeaddrinfo(found);
    return why;
}

std::string MqttPublisher::CheckTopicPrefix(const std::string& prefix) {
    if (prefix.empty()) return "it is empty";
    if (prefix.size() > 1024) return "it is longer than 1024 bytes";
    if (prefix.find_first_of("+#") != std::string::npos) return "it holds a wildcard ('+' or '#')";
    if (prefix.front() == '/' || prefix.back() == '/' || prefix.find("//") != std::string::npos) {
        return "it has an empty level (a '/' at either end or two in a row)";
    }
    if (prefix.front() == '$') return "it starts with '$' (topics the broker keeps for itself)";
    for (const unsigned char c : prefix) {
        if (c < 0x20 || c == 0x7f) return "it holds a control character";
    }
    if (mosquitto_validate_utf8(prefix.c_str(), static_cast<int>(prefix.size())) != MOSQ_ERR_SUCCESS) {
        return "it is not valid UTF-8";
    }
    return {};
}

MqttPublisher::MqttPublisher(MqttSettings settings) : settings_(std::move(settings)) {
    static const LibraryInit init;
    health_ = settings_.health;
    if (!health_) {
        ownHealth_ = std::make_unique<DeliveryHealth>();
        health_ = ownHealth_.get();
    }
    const std::string where = settings_.host.find(':') != std::string::npos
                                  ? "[" + settings_.host + "]:" + std::to_string(settings_.port)
                                  : settings_.host + ":" + std::to_string(settings_.port);
    channel_ = health_->Add("mqtt", where, "MQTT broker " + where);
    lostAt_ = std::chrono::steady_clock::now();
    if (settings_.clientId.empty()) {
        char host[64] = "host";
        gethostname(host, sizeof host - 1);
        settings_.clientId = "weapon-detect-" + std::string(host) + "-" + std::to_string(getpid());
    }
    client_ = mosquitto_new(settings_.clientId.c_str(), true, this);
    if (!client_) throw std::runtime_error("cannot make an MQTT client");
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    if (!settings_.username.empty() &&
        mosquitto_username_pw_set(client_, settings_.username.c_str(),
                                  settings_.password.empty() ? nullptr : settings_.password.c_str()) != MOSQ_ERR_SUCCESS) {
        throw std::runtime_error("the MQTT client refuses the user name");
    }
    const std::string available = settings_.topicPrefix + "/available";
    mosquitto_will_set(client_, available.c_str(), 7, kOffline, kQos, true);
    mosquitto_connect_v5_callback_set(client_, [](mosquitto*, void* self, int rc, int, const mosquitto_property*) {
        static_cast<MqttPublisher*>(self)->OnConnect(rc);
    });
    mosquitto_disconnect_v5_callback_set(client_, [](mosquitto*, void* self, int rc, const mosquitto_property*) {
        static_cast<MqttPublisher*>(self)->OnDisconnect(rc);
    });
    mosquitto_publish_v5_callback_set(client_, [](mosquitto*, void* self, int mid, int rc, const mosquitto_property*) {
        static_cast<MqttPublisher*>(self)->OnPublish(mid, rc);
    });
    mosquitto_reconnect_delay_set(client_, 1, 5, true);  // a broker back is seen within 5 s
    // A broker that is down now is retried by the network thread; analysis does not wait.
    mosquitto_connect_async(client_, settings_.host.c_str(), settings_.port, kKeepAliveSeconds);
    if (mosquitto_loop_start(client_) != MOSQ_ERR_SUCCESS) {
        mosquitto_destroy(client_);
        throw std::runtime_error("cannot start the MQTT client's thread");
    }
    Enqueue({available, std::vector<unsigned char>(kOnline, kOnline + 6), true});
    watcher_ = std::thread([this] { Watch(); });
}

void MqttPublisher::Watch() {
    std::unique_lock<std::mutex> lock(watchMutex_);
    while (watching_) {
        watchWake_.wait_for(lock, std::chrono::seconds(1));
        if (!watching_ || closing_ || connected_ || !health_->up(channel_)) continue;
        if (std::chrono::steady_clock::now() - lostAt_ < kDownAfter) continue;
        lock.unlock();
        // Without the lock, and short: the destructor waits for it.
        const std::string why = Diagnose(1000);
        lock.lock();
        if (!closing_ && !connected_) health_->Set(channel_, false, why);
    }
}

MqttPublisher::~MqttPublisher() {
    {
        std::lock_guard<std::mutex> lock(watchMutex_);
        watching_ = false;
    }
    watchWake_.notify_all();
    watcher_.join();
    bool closed = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed = finished_;
    }
    if (!closed) {
        SayOffline();
        // What waits is delivered if the broker is there, or comes back, within a few seconds.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (pending() > 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        Close();
    }
    // After a clean disconnection the network thread ends by itself once the DISCONNECT is
    // sent; without a connection there is nothing to send.
    mosquitto_loop_stop(client_, !connected_);
    mosquitto_destroy(client_);
}

void MqttPublisher::SayOffline() {
    std::vector<std::string> cameras;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (offline_ || finished_) return;
        offline_ = true;
        for (const auto& [camera, state] : states_) {
            if (state != "failed" && state != kOffline) cameras.push_back(camera);
        }
    }
    // Every camera is gone with the program; a failed one stays "failed".
    for (const std::string& camera : cameras) PublishState(camera, kOffline);
    Enqueue({settings_.topicPrefix + "/available", std::vector<unsigned char>(kOffline, kOffline + 7), true});
}

void MqttPublisher::Close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (finished_) return;
    }
    undelivered_ = static_cast<long long>(pending());
    const std::string why = undelivered_ > 0 ? Diagnose() : std::string();
    if (undelivered_ > 0) {
        std::fprintf(stderr, "weapon-detect: %lld MQTT messages were not delivered to %s:%d before the end: %s\n",
                     static_cast<long long>(undelivered_), settings_.host.c_str(), settings_.port, why.c_str());
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        finished_ = true;
        for (const auto& [mid, message] : inFlight_) Tell(message, "failed", "not delivered before the end: " + why);
        for (const auto& message : queued_) Tell(message, "failed", "not delivered before the end: " + why);
    }
    closing_ = true;
    // A clean disconnection: the broker does not send the last will ("offline" once).
    mosquitto_disconnect(client_);
}

std::string MqttPublisher::Topic(const std::string& camera, const char* leaf) const {
    return settings_.topicPrefix + "/" + FileNameFor(camera) + "/" + leaf;
}

void MqttPublisher::PublishEvent(const std::string& camera, const std::string& json, long long eventId) {
    Enqueue({Topic(camera, "events"), std::vector<unsigned char>(json.begin(), json.end()), false, eventId});
}

void MqttPublisher::PublishSnapshot(const std::string& camera, std::vector<unsigned char> jpeg) {
    Enqueue({Topic(camera, "snapshot"), std::move(jpeg), true});
}

void MqttPublisher::AddCamera(const std::string& camera) {
    std::lock_guard<std::mutex> lock(mutex_);
    states_.emplace(camera, std::string());
}

void MqttPublisher::PublishState(const std::string& camera, const std::string& state) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string& last = states_[camera];
        if (last == "failed") return;  // its last word
        last = state;
    }
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

void MqttPublisher::Tell(const Message& message, const char* state, const std::string& error) {
    if (message.eventId > 0) health_->Outcome(channel_, message.eventId, state, message.attempts, error);
}

void MqttPublisher::Enqueue(Message message) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (finished_) {
        Tell(message, "failed", "published after the end");
        return;
    }
    Tell(message, "pending", {});
    if (connected_) {
        SendLocked(std::move(message));
        return;
    }
    QueueLocked(std::move(message));
}

void MqttPublisher::QueueLocked(Message message) {
    if (queued_.size() + inFlight_.size() >= settings_.maxQueued) {
        // The oldest message makes room: the newest say most about what happens now.
        if (!queued_.empty()) {
            Tell(queued_.front(), "failed", "dropped from a full queue");
            queued_.pop_front();
        } else {
            Tell(message, "failed", "dropped from a full queue");
            message = Message();  // every slot is in flight: this one cannot wait
        }
        ++dropped_;
        if (!overflowing_) {
            overflowing_ = true;
            std::fprintf(stderr, "weapon-detect: the MQTT queue is full (%zu messages); dropping the oldest\n",
                         settings_.maxQueued);
        }
        if (message.topic.empty()) return;
    }
    queued_.push_back(std::move(message));
}

void MqttPublisher::SendLocked(Message message) {
    int mid = 0;
    ++message.attempts;
    // With MQTT 5 the library checks the message against what the broker said it takes.
    const int rc = mosquitto_publish(client_, &mid, message.topic.c_str(), static_cast<int>(message.payload.size()),
                                     message.payload.data(), kQos, message.retain);
    switch (rc) {
        case MOSQ_ERR_SUCCESS:
            inFlight_.emplace(mid, std::move(message));
            return;
        case MOSQ_ERR_NO_CONN:
        case MOSQ_ERR_CONN_LOST:
        case MOSQ_ERR_NOMEM:
        case MOSQ_ERR_ERRNO:
            QueueLocked(std::move(message));  // sent again at the next connection
            return;
        default:
            // Malformed or too large: the broker would never take it.
            ++rejected_;
            std::fprintf(stderr, "weapon-detect: MQTT message to %s refused: %s\n", message.topic.c_str(),
                         mosquitto_strerror(rc));
            Tell(message, "failed", mosquitto_strerror(rc));
    }
}

void MqttPublisher::OnConnect(int result) {
    lastConnack_ = result;
    if (result == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION && v5_) {
        // A broker of MQTT 3.1.1 only: the next connection speaks that (read by the network
        // thread, this one, when it reconnects).
        v5_ = false;
        mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        return;
    }
    if (result != 0) {
        health_->Set(channel_, false, "the broker refused the connection: " + Reason(result));
        return;
    }
    saidConnack_ = 0;
    lastDisconnect_ = 0;
    connectedOnce_ = true;
    std::lock_guard<std::mutex> lock(mutex_);
    connected_ = true;
    health_->Set(channel_, true, {});
    overflowing_ = false;
    // Unacknowledged messages first, then those that waited, in order.
    std::deque<Message> resend;
    for (auto& [mid, message] : inFlight_) resend.push_back(std::move(message));
    inFlight_.clear();
    for (auto& message : queued_) resend.push_back(std::move(message));
    queued_.clear();
    for (auto& message : resend) SendLocked(std::move(message));
}

void MqttPublisher::OnDisconnect(int reason) {
    connected_ = false;
    {
        std::lock_guard<std::mutex> lock(watchMutex_);
        lostAt_ = std::chrono::steady_clock::now();
    }
    // The broker's own reason (MQTT 5 DISCONNECT) rather than the library's error codes.
    if (reason >= 0x80) lastDisconnect_ = reason;
    // 0: the program's own disconnection at the end.
    if (reason == 0 || closing_) return;
    health_->Set(channel_, false,
                 reason >= 0x80 ? "the broker disconnected the client: " + Reason(reason) : mosquitto_strerror(reason));
}

void MqttPublisher::OnPublish(int mid, int reason) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = inFlight_.find(mid);
    if (found == inFlight_.end()) return;
    if (reason >= 0x80) {
        // Acknowledged as refused: sending it again would be refused again.
        ++rejected_;
        Tell(found->second, "failed", "refused by the broker: " + Reason(reason));
        if (!saidRefusal_) {
            saidRefusal_ = true;
            std::fprintf(stderr, "weapon-detect: the MQTT broker refused a message to %s: %s\n",
                         found->second.topic.c_str(), Reason(reason).c_str());
        }
    } else {
        Tell(found->second, "delivered", {});
    }
    inFlight_.erase(found);
}

}  // namespace weapon_detect
