#include "site_services.h"

#include <sys/resource.h>

#include <cmath>
#include <cstdio>

#include "addresses.h"
#include "output/mqtt_discovery.h"

namespace weapon_detect {
namespace {

std::unique_ptr<EventStore> OpenEventStore(const std::string& path) {
    if (path.empty()) {
        std::fprintf(stderr,
                     "weapon-detect: the event history is kept in memory for this run only (no snapshot folder, "
                     "-o file or --events-db)\n");
    }
    return std::make_unique<EventStore>(path);
}

// A page others can reach is said to be open when nothing is asked for, and to carry its
// passwords and session cookies in clear text without TLS.
void WarnOpenPage(const WebSettings& web) {
    if (WebServer::IsLoopback(web.host)) return;
    if (web.token.empty() && web.users.empty()) {
        std::fprintf(stderr,
                     "weapon-detect: the page on %s is open to the network without a token or users "
                     "(set WEAPON_DETECT_HTTP_TOKEN, or give http.users in a site config)\n",
                     web.host.c_str());
    } else if (!web.tls()) {
        std::fprintf(stderr,
                     "weapon-detect: the page on %s asks for %s, but without TLS they cross the network "
                     "in clear text, as do the session cookies (serve it with TLS or behind a reverse proxy "
                     "that has it)\n",
                     web.host.c_str(), web.users.empty() ? "the token" : "passwords");
    }
}

}  // namespace

bool SiteServices::Wanted(const SiteServiceSettings& settings, bool snapshots, bool mqtt) {
    return !settings.http.empty() || !settings.webhooks.empty() || (settings.clips && snapshots) || mqtt ||
           settings.retention.any();
}

SiteServices::SiteServices(const SiteServiceSettings& settings,
                           const std::vector<std::unique_ptr<StreamWorker>>& workers, MqttPublisher* mqtt)
    : mqtt_(mqtt),
      health_(settings.health),
      enginePrecision_(settings.enginePrecision),
      events_(OpenEventStore(settings.eventsDb)) {
    WebSettings web;
    if (!settings.http.empty()) {
        const HostPort address = ParseHttpAddress(settings.http);
        web.host = address.host;
        web.port = address.port;
        web.token = settings.token;
        web.tlsCert = settings.tlsCert;
        web.tlsKey = settings.tlsKey;
        web.users = settings.users;
        web.sessionLifetime = std::chrono::seconds(std::lround(settings.sessionHours * 3600));
        web.config = settings.config;
        if (health_) web.deliveries = [this] { return health_->Json(); };
        WarnOpenPage(web);
        // Many clients at once are many descriptors; take what the system allows.
        rlimit files{};
        if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
            files.rlim_cur = files.rlim_max;
            setrlimit(RLIMIT_NOFILE, &files);
        }
    }
    // Each event message's outcome per channel, kept with the event.
    SetDeliveryOutcome([this](long long id, const std::string& channel, const std::string& state, int attempts,
                              const std::string& error) { events_.SetDelivery(id, channel, state, attempts, error); });
    if (!settings.webhooks.empty()) webhooks_ = std::make_unique<WebhookSender>(settings.webhooks, health_);

    // Made before the cameras, whose clips and snapshots ask it; started once they are there.
    if (settings.retention.any()) retention_ = std::make_unique<Retention>(settings.retention, events_.store());
    std::vector<std::string> ids, inputs;
    std::vector<const CameraStatus*> statuses;
    for (const auto& worker : workers) inputs.push_back(worker->settings().input);
    for (const auto& worker : workers) {
        const StreamSettings& s = worker->settings();
        ids.push_back(s.cameraId);
        CameraStatus* status = nullptr;
        if (!settings.http.empty()) {
            statuses_.push_back(std::make_unique<CameraStatus>(s.cameraId, worker->progress(), statuses.size(),
                                                               settings.liveFps, &viewers_));
            status = statuses_.back().get();
            status->SetAreas(s.areas.Json());
            status->SetListener([this](const CameraStatus& camera) { feed_.Publish("camera", camera.Json()); });
            statuses.push_back(status);
        }
        CameraServiceSettings c;
        c.cameraId = s.cameraId;
        c.snapshotDir = s.snapshotDir;
        c.clips.clips = settings.clips;
        c.clips.beforeSeconds = settings.clipBefore;
        c.clips.afterSeconds = settings.clipAfter;
        c.inputs = inputs;
        c.publicUrl = settings.publicUrl;
        c.areas = s.areas;
        if (Retention* r = retention_.get()) {
            c.clips.mayStart = [r] { return r->ClipRefusal(); };
            c.snapshotRefusal = [r] { return r->SnapshotRefusal(); };
            c.eventEnded = [r] { r->EventEnded(); };
        }
        JsonLinesWriter& records = worker->records();
        // The event table is there without the page too: it gives the events their ids.
        cameras_.push_back(std::make_unique<CameraServices>(std::move(c), status, &events_, webhooks_.get(), mqtt,
                                                            [&records](const nlohmann::ordered_json& record) {
                                                                records.Write(record);
                                                            }));
        worker->Attach(cameras_.back().get());
    }
    if (retention_) {
        web.storage = [this] { return retention_->Json(); };
        retention_->Start();
    }
    if (!settings.http.empty()) {
        events_.SetListener(
            [this](const std::string& type, const nlohmann::ordered_json& event) { feed_.Publish(type, event); });
        SetDeliveryListener(
            [this](const std::string& type, const nlohmann::ordered_json& channel) { feed_.Publish(type, channel); });
        server_ = std::make_unique<WebServer>(
            web, events_, statuses, [this](MetricsText& m) { MoreMetrics(m); }, feed_);
        if (web.tls()) tlsReload_ = std::make_unique<ReloadWatch>([this] { server_->ReloadTls(); });
    }
    if (mqtt && settings.discovery) {
        DiscoveryInfo info;
        info.configurationUrl = settings.publicUrl.empty() ? url() : settings.publicUrl + "/";
        for (const RetainedMessage& m : DiscoveryConfigs(settings.discoveryPrefix, mqtt->topicPrefix(), ids, info)) {
            mqtt->PublishRetained(m.topic, m.payload);
        }
    }
    if (mqtt) {
        // Files are there from the start; live cameras say so themselves once connected.
        for (const auto& worker : workers) {
            if (!worker->settings().realtime) mqtt->PublishState(worker->settings().cameraId, "online");
        }
    }
}

SiteServices::~SiteServices() {
    feed_.Close();
    // Closing the server drops its connections with whatever they had not yet sent.
    feed_.WaitEmpty(std::chrono::steady_clock::now() + kFeedDrain);
    // The senders outlive this object: nothing of it is called from here on.
    if (health_) {
        health_->SetListener({});
        health_->SetOutcomeSink({});
    }
    tlsReload_.reset();
    server_.reset();
    Close();
}

void SiteServices::SetDeliveryListener(DeliveryHealth::Listener listener) {
    if (health_) health_->SetListener(std::move(listener));
}

void SiteServices::SetDeliveryOutcome(DeliveryOutcome outcome) {
    if (health_) health_->SetOutcomeSink(std::move(outcome));
}

void SiteServices::Close() {
    for (auto& camera : cameras_) camera->Close();
}

bool SiteServices::Close(const std::atomic<bool>& stop) {
    using Clock = CameraServices::Clock;
    for (auto& camera : cameras_) camera->InputEnded(stop);
    auto giveUpAt = Clock::time_point::max();
    auto stopped = [&] {
        if (!stop || giveUpAt != Clock::time_point::max()) return;
        const auto hurryAt = Clock::now() + CameraServices::kStopGrace;
        for (auto& camera : cameras_) camera->HurryClips(hurryAt);
        giveUpAt = hurryAt + kGiveUpAfter;
    };
    bool all = true;
    for (auto& camera : cameras_) {
        // A stop may come while the clips of a normal end are being made: looked at often.
        for (;;) {
            stopped();
            if (camera->WaitClips(std::min(giveUpAt, Clock::now() + std::chrono::milliseconds(100)))) break;
            if (Clock::now() >= giveUpAt) {
                camera->GiveUpClips();
                all = false;
                break;
            }
        }
    }
    return all;
}

long long SiteServices::clipsLost() const {
    long long lost = 0;
    for (const auto& camera : cameras_) lost += camera->clipsLost() + camera->recordsLost();
    return lost;
}

void SiteServices::Discard() {
    for (auto& camera : cameras_) camera->Discard();
}

void SiteServices::MoreMetrics(MetricsText& m) const {
    m.Family("weapon_detect_engine_info", "gauge",
             "The engine's arithmetic as asked for (--engine-precision, else ZRV_ENGINE_PRECISION, else the "
             "engine's default): f32, bf16, f16 or auto.");
    m.Sample("weapon_detect_engine_info", {{"precision", enginePrecision_}}, 1.0);
    if (health_) health_->Metrics(m);
    if (retention_) retention_->Metrics(m);
    m.Family("weapon_detect_clip_frames_dropped_total", "counter",
             "Frames the clip recorder could not take in time (the clip repeats the frame before).");
    for (size_t i = 0; i < cameras_.size(); ++i) {
        const ClipRecorder* r = cameras_[i]->recorder();
        m.Sample("weapon_detect_clip_frames_dropped_total", {{"camera", statuses_[i]->id()}},
                 r ? static_cast<double>(r->dropped()) : 0.0);
    }
    m.Family("weapon_detect_clips_written_total", "counter", "Event clips written whole.");
    for (size_t i = 0; i < cameras_.size(); ++i) {
        m.Sample("weapon_detect_clips_written_total", {{"camera", statuses_[i]->id()}},
                 static_cast<double>(cameras_[i]->clipsWritten()));
    }
    m.Family("weapon_detect_clips_failed_total", "counter",
             "Event clips lost: not written, or not whole (the run ends with status 1).");
    for (size_t i = 0; i < cameras_.size(); ++i) {
        m.Sample("weapon_detect_clips_failed_total", {{"camera", statuses_[i]->id()}},
                 static_cast<double>(cameras_[i]->clipsLost()));
    }
    m.Family("weapon_detect_clips_skipped_total", "counter",
             "Events that got no clip because the most clips were being made at once.");
    for (size_t i = 0; i < cameras_.size(); ++i) {
        m.Sample("weapon_detect_clips_skipped_total", {{"camera", statuses_[i]->id()}},
                 static_cast<double>(cameras_[i]->clipsSkipped()));
    }
    m.Family("weapon_detect_preroll_bytes", "gauge", "Bytes of JPEG frames held in the camera's pre-roll ring.");
    for (size_t i = 0; i < cameras_.size(); ++i) {
        const ClipRecorder* r = cameras_[i]->recorder();
        m.Sample("weapon_detect_preroll_bytes", {{"camera", statuses_[i]->id()}},
                 r ? static_cast<double>(r->ringBytes()) : 0.0);
    }
    m.Family("weapon_detect_event_store_failures_total", "counter",
             "Event changes the event history could not record (the run ends with status 1).");
    m.Sample("weapon_detect_event_store_failures_total", {}, static_cast<double>(events_.storeFailures()));
    if (mqtt_) {
        m.Family("weapon_detect_mqtt_queue_length", "gauge", "MQTT messages waiting or not yet acknowledged.");
        m.Sample("weapon_detect_mqtt_queue_length", {}, static_cast<double>(mqtt_->pending()));
        m.Family("weapon_detect_mqtt_dropped_total", "counter", "MQTT messages dropped from a full queue.");
        m.Sample("weapon_detect_mqtt_dropped_total", {}, static_cast<double>(mqtt_->dropped()));
        m.Family("weapon_detect_mqtt_connected", "gauge", "1 while connected to the broker.");
        m.Sample("weapon_detect_mqtt_connected", {}, mqtt_->connected() ? 1 : 0);
    }
    if (webhooks_) {
        m.Family("weapon_detect_webhook_queue_length", "gauge", "Events waiting for the web hooks.");
        m.Sample("weapon_detect_webhook_queue_length", {}, static_cast<double>(webhooks_->queued()));
        m.Family("weapon_detect_webhook_delivered_total", "counter", "Events the web hooks took.");
        m.Sample("weapon_detect_webhook_delivered_total", {}, static_cast<double>(webhooks_->delivered()));
        m.Family("weapon_detect_webhook_failures_total", "counter", "Failed attempts to deliver to a web hook.");
        m.Sample("weapon_detect_webhook_failures_total", {}, static_cast<double>(webhooks_->failures()));
        m.Family("weapon_detect_webhook_dropped_total", "counter", "Events dropped from a full web hook queue.");
        m.Sample("weapon_detect_webhook_dropped_total", {}, static_cast<double>(webhooks_->dropped()));
        m.Family("weapon_detect_webhook_refused_total", "counter",
                 "Events a web hook refused for good (a 4xx other than 408, 425 and 429, too many redirects).");
        m.Sample("weapon_detect_webhook_refused_total", {}, static_cast<double>(webhooks_->refused()));
    }
}

}  // namespace weapon_detect
