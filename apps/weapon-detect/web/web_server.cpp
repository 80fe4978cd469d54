#include "web/web_server.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <algorithm>
#include <cmath>
#include <climits>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <regex>

#include <httplib.h>

#include "output/records.h"
#include "store/utc_time.h"
#include "web/page.h"
#include "web/request_gate.h"
#include "web/sign_in.h"
#include "web/tls_context.h"

namespace weapon_detect {

// The library's routing and answers, fed one request at a time by the RequestGate.
class PageServer : public httplib::Server {
public:
    // The library ends a streamed answer (a clip) once its own listening socket is invalid;
    // this server never listens itself, so it is marked as serving until Stopping().
    PageServer() { svr_sock_ = INT_MAX; }
    ~PageServer() override { svr_sock_ = INVALID_SOCKET; }

    // Answers the request at the stream's start; true when the connection may carry another.
    // The page takes no body and the gate refuses one before it is read; should a head
    // announcing one get here anyway, its connection is closed after the answer, so that the
    // body is never taken for a request.
    bool Serve(httplib::Stream& stream, bool last) {
        bool closed = false, body = false;
        const bool answered = process_request(stream, last, closed, [&body](httplib::Request& req) {
            const std::string length = req.get_header_value("Content-Length");
            body = req.has_header("Transfer-Encoding") || length.find_first_not_of('0') != std::string::npos;
            if (body) {
                req.headers.erase("Connection");
                req.set_header("Connection", "close");
            }
        });
        return answered && !closed && !last && !body;
    }
    void Stopping() { svr_sock_ = INVALID_SOCKET; }
};

namespace {

constexpr size_t kMaxEvents = 500;
constexpr size_t kMaxNameBytes = 64;
constexpr size_t kDefaultEvents = 100;
constexpr std::streamsize kMaxSnapshotBytes = 32 << 20;

void NoStore(httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
}

void SendJpeg(httplib::Response& res, const Jpeg& jpeg) {
    if (!jpeg || jpeg->empty()) {
        res.status = 404;
        return;
    }
    NoStore(res);
    res.set_content(reinterpret_cast<const char*>(jpeg->data()), jpeg->size(), "image/jpeg");
}

// A whole file the program wrote, into memory, if it is not too large.
bool ReadSmallFile(const std::string& path, std::string& bytes) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return false;
    const std::streamsize size = in.tellg();
    if (size < 0 || size > kMaxSnapshotBytes) return false;
    bytes.resize(static_cast<size_t>(size));
    in.seekg(0);
    return static_cast<bool>(in.read(bytes.data(), size));
}

void ServePage(httplib::Response& res) {
    NoStore(res);
    res.set_header("Content-Security-Policy",
                   "default-src 'self'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; img-src 'self'; "
                   "media-src 'self'; connect-src 'self'");
    res.set_content(kPageHtml, "text/html; charset=utf-8");
}

void ServeCameras(const std::vector<const CameraStatus*>& cameras, httplib::Response& res) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const CameraStatus* c : cameras) list.push_back(c->Json());
    NoStore(res);
    res.set_content(RecordLine(list), "application/json");
}

void SendJsonError(httplib::Response& res, int status, const std::string& error) {
    res.status = status;
    NoStore(res);
    res.set_content(RecordLine({{"error", error}}), "application/json");
}

// How long a stream waits for its next message before it looks whether its client is still
// there and the server still serving.
constexpr auto kStreamSlice = std::chrono::milliseconds(250);
constexpr auto kPingEvery = std::chrono::seconds(15);

// The request targets whose answers are streams (RequestGate): the path, before any query.
bool IsStreamTarget(const std::string& target) {
    static const std::regex live(R"(/api/cameras/\d{1,6}/live\.mjpeg)");
    const std::string path = target.substr(0, target.find('?'));
    return path == "/api/stream" || std::regex_match(path, live);
}

void ServeLive(const std::vector<const CameraStatus*>& cameras, const httplib::Request& req, httplib::Response& res) {
    const size_t index = std::stoul(req.matches[1]);
    if (index >= cameras.size()) {
        res.status = 404;
        return;
    }
    SendJpeg(res, cameras[index]->live());
}

// A 400 answer naming what was wrong.
void BadRequest(httplib::Response& res, const std::string& why) {
    NoStore(res);
    res.status = 400;
    res.set_content(RecordLine({{"error", why}}), "application/json");
}

bool IsNumber(const std::string& text, size_t maxDigits) {
    return !text.empty() && text.size() <= maxDigits && text.find_first_not_of("0123456789") == std::string::npos;
}

// The filters of GET /api/events; false (answered 400, naming the parameter) for a bad one.
bool ReadQuery(const httplib::Request& req, httplib::Response& res, EventQuery& q) {
    for (const char* name : {"camera", "class"}) {
        if (!req.has_param(name) || req.get_param_value(name).empty()) continue;
        const std::string value = req.get_param_value(name);
        if (value.size() > 256) {
            BadRequest(res, std::string(name) + " is longer than 256 bytes");
            return false;
        }
        (std::string(name) == "camera" ? q.camera : q.className) = value;
    }
    for (const char* name : {"since", "until"}) {
        if (!req.has_param(name) || req.get_param_value(name).empty()) continue;
        const auto ms = ParseUtc(req.get_param_value(name));
        if (!ms) {
            BadRequest(res, std::string(name) + " must be epoch milliseconds or an ISO 8601 date and time");
            return false;
        }
        (std::string(name) == "since" ? q.sinceMs : q.untilMs) = *ms;
    }
    if (req.has_param("unacknowledged")) {
        const std::string value = req.get_param_value("unacknowledged");
        if (value == "1" || value == "true") {
            q.unacknowledged = true;
        } else if (value != "0" && value != "false" && !value.empty()) {
            BadRequest(res, "unacknowledged must be 1 or 0");
            return false;
        }
    }
    if (req.has_param("limit")) {
        const std::string text = req.get_param_value("limit");
        if (!IsNumber(text, 6)) {
            BadRequest(res, "limit must be a number from 0 to " + std::to_string(kMaxEvents));
            return false;
        }
        q.limit = static_cast<int>(std::min<size_t>(std::stoul(text), kMaxEvents));
    }
    if (req.has_param("before") && !req.get_param_value("before").empty()) {
        const std::string text = req.get_param_value("before");
        if (!IsNumber(text, 15)) {
            BadRequest(res, "before must be an event id");
            return false;
        }
        q.before = std::stoll(text);
    }
    return true;
}

// The state an event stream's answer keeps between the library's calls.
struct EventStream {
    std::unique_ptr<EventFeed::Subscription> subscription;
    std::string hello;  // sent first
    std::chrono::steady_clock::time_point lastWrite = std::chrono::steady_clock::now();
};

struct LiveStream {
    std::unique_ptr<LiveView::Viewer> viewer;
    LiveView* view = nullptr;
    unsigned long long seen = 0;
};

void ServeEvents(const EventTable& events, const httplib::Request& req, httplib::Response& res) {
    EventQuery query;
    query.limit = static_cast<int>(kDefaultEvents);
    if (!ReadQuery(req, res, query)) return;
    const EventEntryPage page = events.Query(query);
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const EventEntry& e : page.events) list.push_back(e.Json());
    const nlohmann::ordered_json answer = {{"events", std::move(list)},
                                           {"next_before", page.nextBefore ? nlohmann::ordered_json(*page.nextBefore)
                                                                           : nlohmann::ordered_json()},
                                           {"total", page.total}};
    NoStore(res);
    res.set_content(RecordLine(answer), "application/json");
}

void NotFound(httplib::Response& res, long long id) {
    NoStore(res);
    res.status = 404;
    res.set_content(RecordLine({{"error", "no event " + std::to_string(id)}}), "application/json");
}

void ServeEvent(const EventTable& events, const httplib::Request& req, httplib::Response& res) {
    const long long id = std::stoll(req.matches[1]);
    const auto entry = events.Find(id);
    if (!entry) return NotFound(res, id);
    NoStore(res);
    res.set_content(RecordLine(entry->Json()), "application/json");
}

// Who acknowledged, as given: at most 64 printable ASCII characters.
bool GoodName(const std::string& name) {
    if (name.size() > kMaxNameBytes) return false;
    for (const char c : name) {
        if (c < 0x20 || c > 0x7e) return false;
    }
    return true;
}

// `by`: who acknowledges (a session's user), else as the request names it (?by=).
void AckEvent(EventTable& events, const httplib::Request& req, httplib::Response& res,
              const std::optional<std::string>& user) {
    const long long id = std::stoll(req.matches[1]);
    const std::string by = user ? *user : req.get_param_value("by");
    if (!GoodName(by)) return BadRequest(res, "by must be at most 64 printable ASCII characters");
    const auto entry = events.Ack(id, by);
    if (!entry) return NotFound(res, id);
    NoStore(res);
    res.set_content(RecordLine(entry->Json()), "application/json");
}

// The snapshot's file once written, else the thumbnail.
void SendSnapshot(const EventEntry& entry, httplib::Response& res) {
    std::string bytes;
    if (entry.snapshotPath.empty() || !ReadSmallFile(entry.snapshotPath, bytes)) return SendJpeg(res, entry.thumbnail);
    NoStore(res);
    res.set_content(std::move(bytes), "image/jpeg");
}

// The clip once it is written, read from its file as the client asks (byte ranges too).
void SendClip(const EventEntry& entry, httplib::Response& res) {
    auto file = std::make_shared<std::ifstream>(entry.clipPath, std::ios::binary | std::ios::ate);
    if (entry.event.clipState != "ready" || !*file) {
        res.status = 404;
        return;
    }
    const std::streamoff size = file->tellg();
    NoStore(res);
    res.set_content_provider(static_cast<size_t>(size), "video/mp4",
                             [file](size_t offset, size_t length, httplib::DataSink& sink) {
                                 char buffer[64 * 1024];
                                 file->seekg(static_cast<std::streamoff>(offset));
                                 const auto n = static_cast<std::streamsize>(std::min(length, sizeof buffer));
                                 if (!file->read(buffer, n)) return false;
                                 return sink.write(buffer, static_cast<size_t>(n));
                             });
}

void ServeEventFile(const EventTable& events, const httplib::Request& req, httplib::Response& res) {
    const auto entry = events.Find(std::stoll(req.matches[1]));
    const std::string what = req.matches[2];
    if (!entry) {
        res.status = 404;
        return;
    }
    // Gone for good: said, rather than a stand-in picture or a bare 404.
    if (entry->event.filesRemovedMs && !(what == "thumbnail" && entry->thumbnail)) {
        res.status = 410;
        NoStore(res);
        res.set_content(RecordLine({{"error", "the event's snapshot and clip were removed to bound the storage"},
                                    {"files_removed_utc", FormatUtc(*entry->event.filesRemovedMs)}}),
                        "application/json");
        return;
    }
    // An event of an earlier run has no thumbnail kept: its snapshot stands in.
    if (what == "thumbnail" && entry->thumbnail) return SendJpeg(res, entry->thumbnail);
    if (what == "thumbnail") return SendSnapshot(*entry, res);
    if (what == "snapshot") return SendSnapshot(*entry, res);
    SendClip(*entry, res);
}

}  // namespace

bool WebServer::IsLoopback(const std::string& host) {
    if (host == "localhost") return true;
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    return inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

WebServer::WebServer(WebSettings settings, EventTable& events, std::vector<const CameraStatus*> cameras,
                     MoreMetrics moreMetrics, EventFeed& feed)
    : settings_(std::move(settings)),
      events_(events),
      cameras_(std::move(cameras)),
      moreMetrics_(std::move(moreMetrics)),
      feed_(feed),
      signIn_(std::make_unique<SignIn>(
          SignInSettings{settings_.token, settings_.users, settings_.sessionLifetime, settings_.tls()})),
      server_(std::make_unique<PageServer>()) {
    const GateLimits limits;
    // Only said in the answers' Keep-Alive header; the gate keeps the time.
    server_->set_keep_alive_timeout(std::chrono::duration_cast<std::chrono::seconds>(limits.requestTime).count());
    server_->set_keep_alive_max_count(limits.requestsPerConnection);
    server_->set_payload_max_length(4096);  // the sign-in form, as the gate bounds it
    Routes();
    if (settings_.tls()) tls_ = std::make_shared<TlsCertificates>(settings_.tlsCert, settings_.tlsKey);
    gate_ = std::make_unique<RequestGate>(
        settings_.host, settings_.port, limits,
        [this](httplib::Stream& stream, bool last) { return server_->Serve(stream, last); }, IsStreamTarget, tls_);
    settings_.port = gate_->port();
}

WebServer::~WebServer() {
    server_->Stopping();
    gate_.reset();
}

std::string WebServer::url() const {
    const bool v6 = settings_.host.find(':') != std::string::npos;
    return (tls_ ? "https://" : "http://") + (v6 ? "[" + settings_.host + "]" : settings_.host) + ":" +
           std::to_string(settings_.port) + "/";
}

void WebServer::ReloadTls() {
    if (!tls_) return;
    try {
        tls_->Reload();
        std::fprintf(stderr, "weapon-detect: reloaded the TLS certificate %s and key %s for new connections\n",
                     settings_.tlsCert.c_str(), settings_.tlsKey.c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "weapon-detect: the TLS certificate was not reloaded, the old one stays: %s\n", e.what());
    }
}

void WebServer::Routes() {
    using httplib::Request;
    using httplib::Response;
    httplib::Server& s = *server_;
    s.set_pre_routing_handler([this](const Request& req, Response& res) {
        return Refused(req, res) ? httplib::Server::HandlerResponse::Handled
                                 : httplib::Server::HandlerResponse::Unhandled;
    });
    s.set_exception_handler([](const Request&, Response& res, std::exception_ptr) {
        res.status = 500;
        res.set_content("internal error\n", "text/plain");
    });

    s.Get("/", [](const Request&, Response& res) { ServePage(res); });
    s.Get("/api/cameras", [this](const Request&, Response& res) { ServeCameras(cameras_, res); });
    s.Get(R"(/api/cameras/(\d{1,6})/live\.jpg)",
          [this](const Request& req, Response& res) { ServeLive(cameras_, req, res); });
    s.Get(R"(/api/cameras/(\d{1,6})/live\.mjpeg)",
          [this](const Request& req, Response& res) { ServeLiveStream(req, res); });
    s.Get("/api/stream", [this](const Request&, Response& res) { ServeEventStream(res); });
    s.Get("/api/events", [this](const Request& req, Response& res) { ServeEvents(events_, req, res); });
    s.Get(R"(/api/events/(\d{1,15}))", [this](const Request& req, Response& res) { ServeEvent(events_, req, res); });
    s.Post(R"(/api/events/(\d{1,15})/ack)", [this](const Request& req, Response& res) {
        const auto who = signIn_->Who(req);
        const bool session = who && who->via == Principal::Via::Session;
        AckEvent(events_, req, res, session ? std::optional<std::string>(who->name) : std::nullopt);
    });
    s.Get(R"(/api/events/(\d{1,15})/(snapshot|thumbnail|clip))",
          [this](const Request& req, Response& res) { ServeEventFile(events_, req, res); });
    s.Get("/api/storage", [this](const Request&, Response& res) {
        if (!settings_.storage) {
            res.status = 404;
            res.set_content(RecordLine({{"error", "no storage bounds set (--max-storage, --retain-days, --min-free)"}}),
                            "application/json");
            return;
        }
        NoStore(res);
        res.set_content(RecordLine(settings_.storage()), "application/json");
    });
    s.Get("/api/deliveries", [this](const Request&, Response& res) {
        NoStore(res);
        res.set_content(RecordLine(settings_.deliveries ? settings_.deliveries() : nlohmann::ordered_json::array()),
                        "application/json");
    });
    s.Get("/login", [this](const Request& req, Response& res) { signIn_->LoginPage(req, res); });
    s.Post("/login", [this](const Request& req, Response& res) { signIn_->Login(req, res); });
    s.Post("/logout", [this](const Request& req, Response& res) { signIn_->Logout(req, res); });
    s.Get("/api/me", [this](const Request& req, Response& res) {
        const auto who = signIn_->Who(req);
        static const char* const kVia[] = {"none", "token", "session"};
        NoStore(res);
        res.set_content(RecordLine({{"name", who ? who->name : ""},
                                    {"role", who ? who->role : ""},
                                    {"signed_in_with", who ? kVia[static_cast<int>(who->via)] : "none"}}),
                        "application/json");
    });
    s.Get("/api/config", [this](const Request&, Response& res) {
        NoStore(res);
        res.set_content(RecordLine(settings_.config), "application/json");
    });
    s.Get("/metrics", [this](const Request&, Response& res) {
        NoStore(res);
        res.set_content(Metrics(), "text/plain; version=0.0.4; charset=utf-8");
    });
}

bool WebServer::Refused(const httplib::Request& req, httplib::Response& res) {
    // The sign-in's own routes are open to all: they are how one signs in.
    if (req.path == "/login" || req.path == "/logout") return false;
    const auto who = signIn_->Who(req);
    if (!who) {
        if (req.path == "/" && req.method == "GET") {
            res.status = 303;
            res.set_header("Location", "/login");
            NoStore(res);
            return true;
        }
        res.set_header("WWW-Authenticate", "Bearer");
        SendJsonError(res, 401, "sign in on /login, or give the token");
        return true;
    }
    if ((req.path == "/metrics" || req.path == "/api/config") && !who->admin()) {
        SendJsonError(res, 403, "for admins only; " + who->name + " is a " + who->role);
        return true;
    }
    return false;
}

void WebServer::ServeEventStream(httplib::Response& res) {
    // A target the gate did not take for a stream (written otherwise) would hold a worker.
    if (!RequestGate::InStream()) return SendJsonError(res, 404, "not found");
    auto stream = std::make_shared<EventStream>();
    stream->subscription = feed_.Subscribe();
    if (!stream->subscription) {
        return SendJsonError(res, 503,
                             "at most " + std::to_string(EventFeed::kMaxSubscribers) + " event streams at once");
    }
    // Subscribed first: what changes while the hello is made comes after it, maybe twice.
    nlohmann::ordered_json open = nlohmann::ordered_json::array();
    for (const EventEntry& e : events_.Unfinished(kMaxEvents)) open.push_back(e.Json());
    nlohmann::ordered_json cameras = nlohmann::ordered_json::array();
    for (const CameraStatus* c : cameras_) cameras.push_back(c->Json());
    const nlohmann::ordered_json hello = {{"events_open", std::move(open)},
                                          {"cameras", std::move(cameras)},
                                          {"deliveries",
                                           settings_.deliveries ? settings_.deliveries() : nlohmann::ordered_json::array()}};
    std::string line = RecordLine(hello);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    // The browser reconnects after 2 s rather than its default 3.
    stream->hello = "retry: 2000\n" + EventFeed::Format(stream->subscription->since(), "hello", line);
    NoStore(res);
    res.set_header("X-Accel-Buffering", "no");
    res.set_chunked_content_provider("text/event-stream", [stream](size_t, httplib::DataSink& sink) {
        using Clock = std::chrono::steady_clock;
        if (!stream->hello.empty()) {
            const bool ok = sink.write(stream->hello.data(), stream->hello.size());
            std::string().swap(stream->hello);
            return ok;
        }
        const Clock::time_point ping = stream->lastWrite + kPingEvery;
        const EventFeed::Text text = stream->subscription->Next(std::min(Clock::now() + kStreamSlice, ping));
        if (text) {
            stream->lastWrite = Clock::now();
            return sink.write(text->data(), text->size());
        }
        // Fell behind, or the feed closed: the client reconnects and starts whole again.
        if (stream->subscription->closed()) return false;
        if (Clock::now() >= ping) {
            stream->lastWrite = Clock::now();
            static const std::string kPing = ": ping\n\n";
            return sink.write(kPing.data(), kPing.size());
        }
        return sink.is_writable();
    });
}

void WebServer::ServeLiveStream(const httplib::Request& req, httplib::Response& res) {
    if (!RequestGate::InStream()) return SendJsonError(res, 404, "not found");
    const size_t index = std::stoul(req.matches[1]);
    if (index >= cameras_.size()) return SendJsonError(res, 404, "no camera " + std::to_string(index));
    LiveView& view = cameras_[index]->liveView();
    if (view.closed()) return SendJsonError(res, 404, "camera " + cameras_[index]->id() + ": its input ended");
    auto stream = std::make_shared<LiveStream>();
    stream->view = &view;
    stream->viewer = view.Watch();
    if (!stream->viewer) {
        return SendJsonError(res, 503,
                             "at most " + std::to_string(LiveView::kViewersPerCamera) +
                                 " live viewers of a camera and " + std::to_string(LiveView::kViewersInAll) +
                                 " in all");
    }
    NoStore(res);
    // One part per new JPEG, written from the shared buffer as it is.
    auto parts = [stream](size_t, httplib::DataSink& sink) {
        // A viewer that left frees its place at once, not after writes into its buffers fail.
        if (!sink.is_writable()) return false;
        const Jpeg jpeg = stream->view->Next(stream->seen, std::chrono::steady_clock::now() + kStreamSlice);
        if (jpeg) {
            const std::string head =
                "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(jpeg->size()) + "\r\n\r\n";
            return sink.write(head.data(), head.size()) &&
                   sink.write(reinterpret_cast<const char*>(jpeg->data()), jpeg->size()) && sink.write("\r\n", 2);
        }
        // The camera's input ended: so does its stream.
        if (stream->view->closed()) {
            sink.done();
            return true;
        }
        return sink.is_writable();
    };
    res.set_chunked_content_provider("multipart/x-mixed-replace;boundary=frame", std::move(parts));
}

void WebServer::TlsMetrics(MetricsText& m) const {
    m.Family("weapon_detect_tls_reloads_total", "counter",
             "Reloads of the page's TLS certificate (SIGHUP) by outcome.");
    m.Sample("weapon_detect_tls_reloads_total", {{"result", "ok"}}, static_cast<double>(tls_->reloadsOk()));
    m.Sample("weapon_detect_tls_reloads_total", {{"result", "failed"}}, static_cast<double>(tls_->reloadsFailed()));
    m.Family("weapon_detect_tls_certificate_expiry_seconds", "gauge",
             "Seconds until the page's current TLS certificate expires (negative once it has).");
    m.Sample("weapon_detect_tls_certificate_expiry_seconds", {},
             static_cast<double>(tls_->current()->notAfter() - static_cast<long long>(std::time(nullptr))));
}

std::string WebServer::Metrics() const {
    MetricsText m;
    auto perCamera = [&](const std::string& name, const char* type, const std::string& help, auto value) {
        m.Family(name, type, help);
        for (const CameraStatus* c : cameras_) m.Sample(name, {{"camera", c->id()}}, static_cast<double>(value(*c)));
    };
    perCamera("weapon_detect_frames_read_total", "counter", "Frames read from the camera's input.",
              [](const CameraStatus& c) { return c.progress().frames.load(); });
    perCamera("weapon_detect_frames_analysed_total", "counter", "Frames handed to the detector.",
              [](const CameraStatus& c) { return c.progress().analysed.load(); });
    perCamera("weapon_detect_frames_dropped_total", "counter", "Live frames never analysed (a newer one was).",
              [](const CameraStatus& c) { return c.progress().dropped.load(); });
    perCamera("weapon_detect_frames_decoded_total", "counter",
              "Frames decoded (a live stream's Motion JPEG frames only when analysed).",
              [](const CameraStatus& c) { return c.progress().decoded.load(); });
    perCamera("weapon_detect_events_total", "counter", "Alarm events that ended.",
              [](const CameraStatus& c) { return c.progress().events.load(); });
    perCamera("weapon_detect_detections_total", "counter", "Detections reported by the detector.",
              [](const CameraStatus& c) { return c.progress().detections.load(); });
    perCamera("weapon_detect_masked_total", "counter",
              "Detections that raised no alarm because a mask covered at least half of their box.",
              [](const CameraStatus& c) { return c.progress().masked.load(); });
    perCamera("weapon_detect_outside_zones_total", "counter",
              "Detections that raised no alarm because they touched none of the camera's required zones.",
              [](const CameraStatus& c) { return c.progress().outsideZones.load(); });
    perCamera("weapon_detect_reconnections_total", "counter", "Times the live input came back after going offline.",
              [](const CameraStatus& c) { return c.reconnections(); });
    m.Family("weapon_detect_camera_state", "gauge", "1 for the camera's current state, 0 for the others.");
    for (const CameraStatus* c : cameras_) {
        const std::string state = c->state();
        for (const char* s : {"online", "offline", "failed", "finished"}) {
            m.Sample("weapon_detect_camera_state", {{"camera", c->id()}, {"state", s}}, state == s ? 1 : 0);
        }
    }
    m.Family("weapon_detect_analysis_delay_seconds", "histogram",
             "Seconds from a live frame's capture to the detector's result.");
    for (const CameraStatus* c : cameras_) {
        m.HistogramSamples("weapon_detect_analysis_delay_seconds", {{"camera", c->id()}}, c->delay().Read());
    }
    m.Family("weapon_detect_detector_seconds", "histogram",
             "Seconds the detector took per analysed frame (its engine passes and own work).");
    for (const CameraStatus* c : cameras_) {
        m.HistogramSamples("weapon_detect_detector_seconds", {{"camera", c->id()}}, c->detectorTime().Read());
    }
    perCamera("weapon_detect_detector_cpu_seconds_total", "counter",
              "CPU seconds of the camera's worker thread inside the detector's calls (the inference runtime's own "
              "threads not included).",
              [](const CameraStatus& c) { return c.progress().detectorCpuNs.load() / 1e9; });
    perCamera("weapon_detect_live_frames_total", "counter",
              "JPEGs made for the live view (its stream and stills); none while nobody watches.",
              [](const CameraStatus& c) { return c.liveView().frames(); });
    perCamera("weapon_detect_live_viewers", "gauge", "Viewers of the camera's live stream now.",
              [](const CameraStatus& c) { return c.liveView().viewers(); });
    m.Family("weapon_detect_event_streams", "gauge", "Clients of the event stream (/api/stream) now.");
    m.Sample("weapon_detect_event_streams", {}, static_cast<double>(feed_.subscribers()));
    signIn_->Metrics(m);
    if (tls_) TlsMetrics(m);
    if (moreMetrics_) moreMetrics_(m);
    return m.text();
}

}  // namespace weapon_detect
