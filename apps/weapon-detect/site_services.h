// The services of a whole run beside the records: the web page with its API and metrics,
// web hooks, MQTT discovery, and each camera's clips and live view (CameraServices).
//
// Made by the run (StartServices in run.cpp), when the options ask for any of them, after
// the workers and before they run; attaches a CameraServices to each worker. Close() (after
// the workers returned) waits for every clip, within a bound after a stop; the page keeps
// being served until the object is destroyed.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "camera_services.h"
#include "reload_signal.h"
#include "output/delivery_health.h"
#include "output/mqtt_publisher.h"
#include "output/webhook_sender.h"
#include "store/retention.h"
#include "stream_worker.h"
#include "web/camera_status.h"
#include "web/event_feed.h"
#include "web/event_table.h"
#include "web/live_view.h"
#include "web/web_server.h"

namespace weapon_detect {

struct SiteServiceSettings {
    std::string http;                   // ADDRESS:PORT of the page; empty for none
    std::string token;                  // asked for on every route when not empty
    std::string tlsCert, tlsKey;        // the page over TLS; empty: plain HTTP
    std::vector<std::string> webhooks;  // URLs
    bool clips = true;
    double clipBefore = 5.0, clipAfter = 5.0;
    bool discovery = false;
    std::string discoveryPrefix = "homeassistant";
    std::string publicUrl;             // the page's public address (links in messages); empty for none
    DeliveryHealth* health = nullptr;  // the channels' health (outlives this); null: none kept
    std::string eventsDb;  // the event store's file; empty: in memory, for this run only
    int liveFps = 5;       // the live streams' rate at most
    // The page's sign-in: its users (empty: the token alone, if any) and a session's length.
    std::vector<WebUser> users;
    double sessionHours = 12.0;
    nlohmann::ordered_json config;  // the effective settings for /api/config, secrets left out
    RetentionSettings retention;    // bounded storage of the snapshot folder; none when nothing is set
    std::string enginePrecision = "f32";  // the engine's arithmetic as asked for, for /metrics
};

class SiteServices {
public:
    // Throws std::invalid_argument for a bad address or URL, std::runtime_error when the
    // page cannot be served or the event store cannot be opened (EventStore).
    SiteServices(const SiteServiceSettings& settings, const std::vector<std::unique_ptr<StreamWorker>>& workers,
                 MqttPublisher* mqtt);
    ~SiteServices();
    SiteServices(const SiteServices&) = delete;
    SiteServices& operator=(const SiteServices&) = delete;

    // The page's address, empty without one.
    std::string url() const { return server_ ? server_->url() : std::string(); }
    // Waits for every camera's clips as long as they take.
    void Close();
    // Waits for every camera's clips while `stop` is not raised; from a stop (also one during
    // the wait) they take kStopGrace more in what they were handed, then end with what they
    // have (ClipRecorder). A clip thread still busy kGiveUpAfter later is given up: its
    // events' records are written without their clips, which count as lost. False then (the
    // thread may still run: this object must then never be destroyed).
    bool Close(const std::atomic<bool>& stop);
    void Discard();
    // Every event, written through to the event store; it lives as long as this object.
    EventTable& events() { return events_; }
    // The page's event stream: every part may publish to it (EventFeed::Publish).
    EventFeed& feed() { return feed_; }
    // The web hooks' sender, null without web hooks; it lives as long as this object.
    WebhookSender* webhooks() const { return webhooks_.get(); }
    // Where "delivery" changes go (the page's live feed): (type "delivery", the channel's JSON).
    // Called under the health's lock until this object is destroyed; never blocks.
    void SetDeliveryListener(DeliveryHealth::Listener listener);
    // Each event message's outcome per channel, for the event store; called likewise.
    void SetDeliveryOutcome(DeliveryOutcome outcome);

    // Clips lost and event records that could not be written once their clip was known: a
    // failure of the run.
    long long clipsLost() const;

    static constexpr std::chrono::seconds kGiveUpAfter{10};
    // How long the event streams get, at the end, to send what was published last (a camera
    // finished) before their connections close.
    static constexpr std::chrono::seconds kFeedDrain{2};

    // The settings a run needs services for at all.
    static bool Wanted(const SiteServiceSettings& settings, bool snapshots, bool mqtt);

private:
    void MoreMetrics(MetricsText& m) const;

    MqttPublisher* mqtt_;
    DeliveryHealth* health_;
    std::string enginePrecision_;
    EventFeed feed_;
    ViewerBound viewers_{LiveView::kViewersInAll};
    EventTable events_;
    std::vector<std::unique_ptr<CameraStatus>> statuses_;
    std::unique_ptr<WebhookSender> webhooks_;
    // After the store it reads; before the cameras that ask it, so that it outlives their clip threads.
    std::unique_ptr<Retention> retention_;
    std::vector<std::unique_ptr<CameraServices>> cameras_;
    std::unique_ptr<WebServer> server_;  // last: stopped first
    // SIGHUP reloads the page's certificate; ends before the server.
    std::unique_ptr<ReloadWatch> tlsReload_;
};

}  // namespace weapon_detect
