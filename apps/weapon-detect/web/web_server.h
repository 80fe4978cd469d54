// The local page, its JSON API and the metrics, served by cpp-httplib on threads of its own.
//
// Routes (GET only; everything else is 404 or 405):
//   /                                  the page
//   /api/cameras                       every camera's state, counters, rates and delay
//   /api/cameras/<index>/live.jpg      the camera's newest live view (a few per second)
//   /api/events?limit=N                the newest events first (N at most 200, default 100)
//   /api/events/<id>/snapshot          the event's snapshot (its file once written, else the thumbnail)
//   /api/events/<id>/thumbnail         a small JPEG of the event's best frame
//   /api/events/<id>/clip              the event's MP4 clip once it is written (byte ranges served)
//   /metrics                           Prometheus text format
// Read-only. A request reaches a file only through the event table, by a numeric event id.
// When a token is set, every route asks for it ("Authorization: Bearer <token>" or
// "?token=<token>") and answers 401 without it.
//
// Slow or hostile clients cost only the server's own threads: requests are bounded in size
// (8 KiB of header, no body), reads and writes time out, and every response is built from
// data the camera threads published beforehand, so no request waits on the analysis.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "web/camera_status.h"
#include "web/event_table.h"
#include "web/metrics_text.h"

namespace httplib {
class Server;
}

namespace weapon_detect {

struct WebSettings {
    std::string host = "127.0.0.1";
    int port = 8080;
    std::string token;  // empty: no token asked for
};

class WebServer {
public:
    using MoreMetrics = std::function<void(MetricsText&)>;

    // Binds at once and serves on its own threads. Throws std::runtime_error naming the
    // address and the system's reason when it cannot listen. The table, the cameras and
    // the callback must outlive the server.
    WebServer(WebSettings settings, const EventTable& events, std::vector<const CameraStatus*> cameras,
              MoreMetrics moreMetrics);
    ~WebServer();  // stops serving and waits for its threads
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    std::string url() const;

    static bool IsLoopback(const std::string& host);

private:
    void Routes();
    std::string Metrics() const;

    WebSettings settings_;
    const EventTable& events_;
    std::vector<const CameraStatus*> cameras_;
    MoreMetrics moreMetrics_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
};

}  // namespace weapon_detect
