#include "output/webhook_sender.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <curl/curl.h>

#include "secrets.h"

namespace weapon_detect {
namespace {

using Clock = std::chrono::steady_clock;

constexpr double kFirstBackoff = 0.5;
constexpr double kLongestBackoff = 30.0;
// After a connection that could not be made (nothing listens, no route): another attempt
// costs the receiver nothing, and comes soon so that its return is seen within seconds.
constexpr double kLongestConnectBackoff = 2.0;
// How often an idle hook's receiver is looked at (a connection, no request), up and down.
constexpr std::chrono::seconds kProbeWhenUp{5};
constexpr std::chrono::seconds kProbeWhenDown{2};

struct CurlGlobal {
    CurlGlobal() { curl_global_init(CURL_GLOBAL_DEFAULT); }
    ~CurlGlobal() { curl_global_cleanup(); }
};

struct CurlDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

size_t Discard(char*, size_t size, size_t count, void*) { return size * count; }

// What came of one POST.
enum class Outcome { kDelivered, kRetry, kRefused, kCutOff };
struct Attempt {
    Outcome outcome;
    std::string reason;        // empty when delivered
    bool unconnected = false;  // no connection was made
};

bool Unconnected(CURLcode rc) {
    return rc == CURLE_COULDNT_CONNECT || rc == CURLE_COULDNT_RESOLVE_HOST || rc == CURLE_COULDNT_RESOLVE_PROXY;
}

// A final status the receiver may get over (busy, overloaded, down for a moment), as
// against one that will be the same for the same message (a wrong path, no permission, a
// body it cannot take).
bool Transient(long status) { return status == 408 || status == 425 || status == 429 || status >= 500 || status < 200; }

}  // namespace

struct WebhookSender::Target {
    Target(std::string u, DeliveryHealth* h, size_t number) : url(std::move(u)), shown(MaskSecrets(url)), health(h) {
        channel =
            health->Add("webhook " + std::to_string(number), shown, "web hook " + std::to_string(number) + " " + shown);
    }

    struct Item {
        std::string body;
        long long eventId = 0;
        int attempts = 0;
    };
    void Tell(const Item& item, const char* state, const std::string& error) {
        if (item.eventId > 0) health->Outcome(channel, item.eventId, state, item.attempts, error);
    }

    static int ProbeProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        return static_cast<const Target*>(self)->ending.load() ? 1 : 0;
    }

    // Whether the receiver takes a connection now (and, for https, a TLS handshake): empty
    // when it does, else why not. No request is sent.
    std::string Probe() {
        const std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
        if (!curl) return {};
        curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl.get(), CURLOPT_CONNECT_ONLY, 1L);
        curl_easy_setopt(curl.get(), CURLOPT_CONNECTTIMEOUT_MS, 2000L);
        curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "http,https");
        // The end of the run cuts it short.
        curl_easy_setopt(curl.get(), CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl.get(), CURLOPT_XFERINFOFUNCTION, ProbeProgress);
        curl_easy_setopt(curl.get(), CURLOPT_XFERINFODATA, this);
        const CURLcode rc = curl_easy_perform(curl.get());
        return rc == CURLE_OK ? std::string() : std::string(curl_easy_strerror(rc));
    }

    // Called by libcurl during a POST: a nonzero answer ends it (the drain's deadline passed).
    static int Progress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        const auto* t = static_cast<const Target*>(self);
        return Clock::now().time_since_epoch().count() > t->cutOff.load() ? 1 : 0;
    }

    Attempt Send(CURL* curl, const std::string& body) {
        curl_easy_reset(curl);
        std::unique_ptr<curl_slist, SlistDeleter> headers(curl_slist_append(nullptr, "Content-Type: application/json"));
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, 2000L);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 5000L);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        // A receiver that moved: the same POST with the same body at the new place (also after
        // 301, 302 and 303, where a GET would deliver nothing), never to another scheme.
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
        curl_easy_setopt(curl, CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_ALL));
        curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Discard);
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, Progress);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
        const CURLcode rc = curl_easy_perform(curl);
        switch (rc) {
            case CURLE_OK: break;
            case CURLE_ABORTED_BY_CALLBACK: return {Outcome::kCutOff, "cut off at the end of the run"};
            case CURLE_TOO_MANY_REDIRECTS:
            case CURLE_UNSUPPORTED_PROTOCOL:
            case CURLE_URL_MALFORMAT: return {Outcome::kRefused, curl_easy_strerror(rc)};
            default: return {Outcome::kRetry, curl_easy_strerror(rc), Unconnected(rc)};
        }
        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        if (status >= 200 && status <= 299) return {Outcome::kDelivered, {}};
        const std::string reason = "HTTP status " + std::to_string(status);
        return {Transient(status) ? Outcome::kRetry : Outcome::kRefused, reason};
    }

    // Sleeps until `until` or the deadline, whichever is first; a Drain() that brings the
    // deadline forward wakes it.
    void Pause(std::unique_lock<std::mutex>& lock, Clock::time_point until) {
        while (Clock::now() < std::min(until, deadline)) wake.wait_until(lock, std::min(until, deadline));
    }

    void Loop() {
        std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
        double backoff = kFirstBackoff;
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            // Idle: the receiver is looked at now and then, so that one that went away (or
            // came back) is said while no event is sent.
            while (!draining && queue.empty()) {
                const bool wasUp = health->up(channel);
                if (wake.wait_for(lock, wasUp ? kProbeWhenUp : kProbeWhenDown,
                                  [this] { return draining || !queue.empty(); })) {
                    break;
                }
                lock.unlock();
                const std::string why = Probe();
                lock.lock();
                if (queue.empty() && !draining) health->Set(channel, why.empty(), why);
            }
            if (queue.empty() || Clock::now() >= deadline) break;
            sending = true;
            const std::string body = queue.front().body;
            lock.unlock();
            const Attempt attempt =
                curl ? Send(curl.get(), body) : Attempt{Outcome::kRetry, "cannot make a libcurl handle"};
            lock.lock();
            sending = false;
            lastReason = attempt.reason;
            if (attempt.outcome == Outcome::kCutOff) break;
            Item& item = queue.front();
            ++item.attempts;
            if (attempt.outcome == Outcome::kDelivered) {
                Tell(item, "delivered", {});
                queue.pop_front();
                ++delivered;
                backoff = kFirstBackoff;
                health->Set(channel, true, {});
                continue;
            }
            if (attempt.outcome == Outcome::kRefused) {
                // Sending it again would give the same answer and hold up every later event.
                Tell(item, "failed", "refused: " + attempt.reason);
                queue.pop_front();
                if (refused++ == 0) {
                    std::fprintf(stderr,
                                 "weapon-detect: the web hook %s refused an event (%s); events it refuses are "
                                 "counted as lost, not sent again\n",
                                 shown.c_str(), attempt.reason.c_str());
                }
                backoff = kFirstBackoff;
                health->Set(channel, true, {});  // it answered
                continue;
            }
            ++failures;
            Tell(item, "pending", attempt.reason);
            health->Set(channel, false, attempt.reason);
            Pause(lock,
                  Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(backoff)));
            backoff = std::min(backoff * 2, attempt.unconnected ? kLongestConnectBackoff : kLongestBackoff);
        }
    }

    const std::string url;
    const std::string shown;  // the URL with its user and password masked
    mutable std::mutex mutex;
    std::condition_variable wake;
    DeliveryHealth* health;
    size_t channel = 0;  // its index in health
    std::deque<Item> queue;
    bool sending = false;             // queue.front() is being posted
    bool draining = false;            // the run ended: leave once the queue is empty
    std::atomic<bool> ending{false};  // draining, for a probe under way
    bool closed = false;              // Finish() is done with it: nothing more is sent
    std::string lastReason;
    Clock::time_point deadline = Clock::time_point::max();
    std::atomic<Clock::rep> cutOff{Clock::time_point::max().time_since_epoch().count()};  // the deadline, for Progress
    long long delivered = 0, failures = 0, dropped = 0, refused = 0, undelivered = 0;
    std::thread thread;
};

WebhookSender::WebhookSender(std::vector<std::string> urls, DeliveryHealth* health) {
    static const CurlGlobal global;
    if (!health) {
        ownHealth_ = std::make_unique<DeliveryHealth>();
        health = ownHealth_.get();
    }
    if (urls.size() > kMaxHooks) {
        throw std::invalid_argument("at most " + std::to_string(kMaxHooks) + " web hooks, not " +
                                    std::to_string(urls.size()));
    }
    for (const std::string& url : urls) {
        if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0) {
            throw std::invalid_argument("a web hook must be an http:// or https:// URL: " + MaskSecrets(url));
        }
    }
    for (std::string& url : urls) {
        targets_.push_back(std::make_unique<Target>(std::move(url), health, targets_.size() + 1));
        Target* t = targets_.back().get();
        t->thread = std::thread([t] { t->Loop(); });
    }
}

WebhookSender::~WebhookSender() { Finish(); }

void WebhookSender::Drain(std::chrono::steady_clock::time_point deadline) {
    for (auto& t : targets_) {
        const std::lock_guard<std::mutex> lock(t->mutex);
        t->draining = true;
        t->ending = true;
        t->deadline = std::min(t->deadline, deadline);
        t->cutOff = t->deadline.time_since_epoch().count();
        t->wake.notify_all();
    }
}

bool WebhookSender::idle() const {
    for (const auto& t : targets_) {
        const std::lock_guard<std::mutex> lock(t->mutex);
        if (!t->queue.empty()) return false;
    }
    return true;
}

void WebhookSender::Finish() {
    if (finished_) return;
    finished_ = true;
    bool draining = false;
    for (const auto& t : targets_) {
        const std::lock_guard<std::mutex> lock(t->mutex);
        draining = draining || t->draining;
    }
    if (!draining) Drain(Clock::now());
    for (auto& t : targets_) {
        t->thread.join();
        const std::lock_guard<std::mutex> lock(t->mutex);
        t->undelivered = static_cast<long long>(t->queue.size());
        if (t->undelivered > 0) {
            std::fprintf(stderr, "weapon-detect: %lld events were not delivered to the web hook %s (%s)\n",
                         t->undelivered, t->shown.c_str(),
                         t->lastReason.empty() ? "no time left" : ("last attempt: " + t->lastReason).c_str());
        }
        for (const Target::Item& item : t->queue) {
            t->Tell(item, "failed",
                    "not delivered before the end" +
                        (t->lastReason.empty() ? std::string() : " (" + t->lastReason + ")"));
        }
        // Posted from here on (a camera left blocked at the stop): never sent, counted.
        t->queue.clear();
        t->closed = true;
    }
}

void WebhookSender::Post(const std::string& json, long long eventId) {
    for (auto& t : targets_) {
        {
            const std::lock_guard<std::mutex> lock(t->mutex);
            Target::Item item{json, eventId, 0};
            if (t->closed) {
                ++t->undelivered;
                t->Tell(item, "failed", "posted after the end");
                continue;
            }
            if (t->queue.size() >= kMaxQueued) {
                // The oldest goes, unless it is being sent: then the one after it.
                const auto oldest = t->sending ? t->queue.begin() + 1 : t->queue.begin();
                t->Tell(*oldest, "failed", "dropped from a full queue");
                t->queue.erase(oldest);
                if (t->dropped++ == 0) {
                    std::fprintf(stderr,
                                 "weapon-detect: the web hook queue of %s is full (%zu events); dropping the "
                                 "oldest\n",
                                 t->shown.c_str(), kMaxQueued);
                }
            }
            t->Tell(item, "pending", {});
            t->queue.push_back(std::move(item));
        }
        t->wake.notify_one();
    }
}

long long WebhookSender::Sum(long long Target::*counter) const {
    long long total = 0;
    for (const auto& t : targets_) {
        const std::lock_guard<std::mutex> lock(t->mutex);
        total += (*t).*counter;
    }
    return total;
}

long long WebhookSender::delivered() const { return Sum(&Target::delivered); }
long long WebhookSender::failures() const { return Sum(&Target::failures); }
long long WebhookSender::dropped() const { return Sum(&Target::dropped); }
long long WebhookSender::refused() const { return Sum(&Target::refused); }
long long WebhookSender::undelivered() const { return Sum(&Target::undelivered); }
size_t WebhookSender::queued() const {
    size_t total = 0;
    for (const auto& t : targets_) {
        const std::lock_guard<std::mutex> lock(t->mutex);
        total += t->queue.size();
    }
    return total;
}

}  // namespace weapon_detect
