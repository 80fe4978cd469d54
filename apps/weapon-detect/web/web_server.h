// The local page, its JSON API and the metrics: requests are taken and bounded by a
// RequestGate (its own threads) and answered by cpp-httplib's routing.
//
// Routes (GET, and POST for an acknowledgement; everything else is 404 or 405):
//   /                                  the page
//   /api/cameras                       every camera's state, counters, rates and delay
//   /api/cameras/<index>/live.jpg      the camera's newest live view (stills made while asked for)
//   /api/cameras/<index>/live.mjpeg    the live view as multipart/x-mixed-replace JPEGs (a stream)
//   /api/stream                        Server-Sent Events: a hello, then events, cameras, ... (a stream)
//   /api/events?camera=&class=&since=&until=&unacknowledged=1&limit=&before=
//                                      a page of the stored events, newest first (limit at most
//                                      500, default 100; before=ID for the next page):
//                                      {"events": [...], "next_before": ID|null, "total": N};
//                                      a bad value answers 400 {"error": "..."} naming it
//   /api/events/<id>                   one event, 404 {"error": "..."} when unknown
//   POST /api/events/<id>/ack[?by=NAME] acknowledges it (no body); the first one is kept
//   /api/events/<id>/snapshot          the event's snapshot (its file once written, else the thumbnail)
//   /api/events/<id>/thumbnail         a small JPEG of the event's best frame (else its snapshot)
//   /api/events/<id>/clip              the event's MP4 clip once it is written (byte ranges served)
//   /api/deliveries                    each delivery channel's health (output/delivery_health.h)
//   /api/me                            who the request is signed in as: name, role, how
//   /api/config                        the run's effective settings, secrets left out (admins)
//   /api/storage                       the snapshot folder's bounds and free space (store/retention.h)
//   /metrics                           Prometheus text format (admins)
//   /login, POST /login, POST /logout  the sign-in (sign_in.h)
// A request reaches a file only through the event table, by a numeric event id; the only
// changes a request makes are an acknowledgement and a session. When a token or users are
// set, every route but the sign-in's asks for the token ("Authorization: Bearer <token>" or
// "?token=<token>") or a session's cookie: without, "/" answers 303 to /login and the others
// 401 {"error": ...}; a viewer gets 403 {"error": ...} on the admins' routes. An
// acknowledgement made in a session records the session's user as who made it.
//
// With WebSettings::tlsCert/tlsKey the page is served over TLS only (request_gate.h says how the
// bounds hold there); the files are read at the start, a bad pair is refused then (the
// constructor throws naming the file and OpenSSL's reason).
//
// Slow or hostile clients cost only the server's own threads and bounded memory: at most 64
// connections, a request head of at most 8 KiB and 100 fields (431 before the token is looked
// at), no body but the sign-in form's (4 KiB), the whole head within 5 s, a stalled write cut
// after 5 s (request_gate.h). Every response is built from data the camera threads published
// beforehand, so no request waits on the analysis. The two streams run on threads of their own (RequestGate), at most
// EventFeed::kMaxSubscribers event streams and LiveView's viewer bounds, 503 with a JSON error
// beyond; each ends at once when the server stops.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "web/camera_status.h"
#include "web/event_feed.h"
#include "web/event_table.h"
#include "web/metrics_text.h"
#include "web/web_user.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace weapon_detect {

class PageServer;
class RequestGate;
class SignIn;
class TlsCertificates;

struct WebSettings {
    std::string host = "127.0.0.1";
    int port = 8080;
    std::string token;  // empty: no token asked for
    // The page over TLS (HTTPS) with this certificate (chain) and key, PEM files; empty: plain HTTP.
    std::string tlsCert, tlsKey;
    bool tls() const { return !tlsCert.empty(); }
    // The delivery channels' JSON for /api/deliveries and the event stream's hello; unset: an
    // empty list.
    std::function<nlohmann::ordered_json()> deliveries;
    // The login page's users (sign_in.h) and how long a session lasts from its sign-in.
    std::vector<WebUser> users;
    std::chrono::seconds sessionLifetime{12 * 3600};
    // The run's effective settings, secrets left out, for GET /api/config (admins only).
    nlohmann::ordered_json config = nlohmann::ordered_json::object();
    // The snapshot folder's storage for /api/storage (store/retention.h); unset: 404 there.
    std::function<nlohmann::ordered_json()> storage;
};

class WebServer {
public:
    using MoreMetrics = std::function<void(MetricsText&)>;
    // Binds at once and serves on its own threads. Throws std::runtime_error naming the
    // address and the system's reason when it cannot listen ("address already in use" when
    // another program listens there: the address is never shared). The table, the cameras
    // and the callback must outlive the server.
    WebServer(WebSettings settings, EventTable& events, std::vector<const CameraStatus*> cameras,
              MoreMetrics moreMetrics, EventFeed& feed);
    // Stops serving: closes every connection rather than awaiting it, and returns as soon as
    // the answers being made are (a few milliseconds, a stream's wait slice at most; no client
    // can delay it).
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // https:// when the page serves TLS.
    std::string url() const;
    // Loads the TLS certificate and key again for the connections to come (SIGHUP); open ones
    // keep theirs. Says the outcome in one line on standard error; a failure keeps the old
    // certificate. Counted in /metrics. Nothing without TLS. Any thread.
    void ReloadTls();

    static bool IsLoopback(const std::string& host);

private:
    void Routes();
    // Who may have the request (pre-routing): answers it (303 to /login, 401, 403) when not.
    bool Refused(const httplib::Request& req, httplib::Response& res);
    std::string Metrics() const;
    void TlsMetrics(MetricsText& m) const;
    void ServeEventStream(httplib::Response& res);
    void ServeLiveStream(const httplib::Request& req, httplib::Response& res);

    WebSettings settings_;
    EventTable& events_;
    std::vector<const CameraStatus*> cameras_;
    MoreMetrics moreMetrics_;
    EventFeed& feed_;
    std::unique_ptr<SignIn> signIn_;
    std::unique_ptr<PageServer> server_;
    std::shared_ptr<TlsCertificates> tls_;  // null without TLS
    std::unique_ptr<RequestGate> gate_;
};

}  // namespace weapon_detect
