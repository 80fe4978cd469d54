#include "output/webhook_sender.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>

#include <curl/curl.h>

namespace weapon_detect {
namespace {

constexpr double kFirstBackoff = 0.5;
constexpr double kLongestBackoff = 30.0;

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

}  // namespace

struct WebhookSender::Target {
    explicit Target(std::string u) : url(std::move(u)) {}

    // One POST; an empty string when it was taken (2xx), else the reason.
    std::string Send(CURL* curl, const std::string& body) {
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
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Discard);
        const CURLcode rc = curl_easy_perform(curl);
        if (rc != CURLE_OK) return curl_easy_strerror(rc);
        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        if (status < 200 || status > 299) return "HTTP status " + std::to_string(status);
        return {};
    }

    void Loop() {
        std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
        double backoff = kFirstBackoff;
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            wake.wait(lock, [this] { return stopping || !queue.empty(); });
            if (queue.empty() || (stopping && std::chrono::steady_clock::now() > deadline)) break;
            const std::string body = queue.front();
            lock.unlock();
            const std::string error = curl ? Send(curl.get(), body) : "cannot make a libcurl handle";
            lock.lock();
            if (error.empty()) {
                // The queue may have dropped the front meanwhile; the message went out anyway.
                if (!queue.empty() && queue.front() == body) queue.pop_front();
                ++delivered;
                backoff = kFirstBackoff;
                if (failing) std::fprintf(stderr, "weapon-detect: the web hook %s takes events again\n", url.c_str());
                failing = false;
                continue;
            }
            ++failures;
            if (!failing) {
                std::fprintf(stderr, "weapon-detect: the web hook %s failed (%s); retrying\n", url.c_str(),
                             error.c_str());
            }
            failing = true;
            const auto until = std::chrono::steady_clock::now() +
                               std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                   std::chrono::duration<double>(backoff));
            wake.wait_until(lock, stopping ? std::min(until, deadline) : until,
                            [this] { return stopping && std::chrono::steady_clock::now() > deadline; });
            backoff = std::min(backoff * 2, kLongestBackoff);
            if (stopping && std::chrono::steady_clock::now() > deadline) break;
        }
    }

    const std::string url;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::string> queue;
    bool stopping = false;
    bool failing = false;
    std::chrono::steady_clock::time_point deadline;
    long long delivered = 0, failures = 0, dropped = 0;
    std::thread thread;
};

WebhookSender::WebhookSender(std::vector<std::string> urls) {
    static const CurlGlobal global;
    for (const std::string& url : urls) {
        if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0) {
            throw std::invalid_argument("a web hook must be an http:// or https:// URL: " + url);
        }
    }
    for (std::string& url : urls) {
        targets_.push_back(std::make_unique<Target>(std::move(url)));
        Target* t = targets_.back().get();
        t->thread = std::thread([t] { t->Loop(); });
    }
}

WebhookSender::~WebhookSender() {
    for (auto& t : targets_) {
        const std::lock_guard<std::mutex> lock(t->mutex);
        t->stopping = true;
        t->deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        t->wake.notify_all();
    }
    for (auto& t : targets_) {
        t->thread.join();
        if (!t->queue.empty()) {
            std::fprintf(stderr, "weapon-detect: %zu events were not delivered to the web hook %s\n", t->queue.size(),
                         t->url.c_str());
        }
    }
}

void WebhookSender::Post(const std::string& json) {
    for (auto& t : targets_) {
        {
            const std::lock_guard<std::mutex> lock(t->mutex);
            if (t->queue.size() >= kMaxQueued) {
                t->queue.pop_front();
                if (t->dropped++ == 0) {
                    std::fprintf(stderr, "weapon-detect: the web hook queue of %s is full; dropping the oldest\n",
                                 t->url.c_str());
                }
            }
            t->queue.push_back(json);
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
size_t WebhookSender::queued() const {
    size_t total = 0;
    for (const auto& t : targets_) {
        const std::lock_guard<std::mutex> lock(t->mutex);
        total += t->queue.size();
    }
    return total;
}

}  // namespace weapon_detect
