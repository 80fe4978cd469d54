// Alarm events POSTed as JSON to web hooks, with libcurl, one thread per URL (at most
// kMaxHooks URLs).
//
// Each URL has a bounded queue (kMaxQueued messages; when full, the oldest message not being
// sent is dropped and counted). Messages go out in order. A POST that may succeed later (no
// connection, a timeout, 408, 425, 429, 5xx) is retried with backoff (0.5 s doubling to 30 s)
// before the next message, so a receiver that is down for a while gets everything the queue
// held once it is back. A message the receiver refuses for good (any other 3xx or 4xx, too
// many redirects, a redirect to another scheme) is counted as refused, said once per URL, and
// the next message goes. Redirects are followed (at most kMaxRedirects, to http:// and
// https:// only), keeping the POST and its body. Failures are said on standard error once per
// failing spell and never reach analysis. URLs are only ever shown masked (MaskSecrets).
//
// Threads: Post() from any thread, never blocks on the network. Drain() from any thread, also
// again with an earlier deadline: each URL's thread sends what is queued until the deadline,
// and a wait before a retry or a POST under way ends there (a POST within about a second).
// Finish() joins the threads and says per URL what was not delivered; the destructor calls
// it, with the deadline now when Drain() was never called.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace weapon_detect {

class WebhookSender {
public:
    static constexpr size_t kMaxQueued = 1000;
    static constexpr size_t kMaxHooks = 16;
    static constexpr long kMaxRedirects = 5;

    // Throws std::invalid_argument for a URL that is not http:// or https://, or for more
    // than kMaxHooks URLs.
    explicit WebhookSender(std::vector<std::string> urls);
    ~WebhookSender();
    WebhookSender(const WebhookSender&) = delete;
    WebhookSender& operator=(const WebhookSender&) = delete;

    void Post(const std::string& json);

    // Sends what is queued until `deadline`, then stops; returns at once. A second call
    // brings the deadline forward, never back.
    void Drain(std::chrono::steady_clock::time_point deadline);
    // True when nothing waits or is being sent.
    bool idle() const;
    // Waits for the threads (Drain(now) first when never drained) and says on standard error,
    // per URL, how many messages were not delivered and why. Once; later calls do nothing.
    void Finish();

    long long delivered() const;
    long long failures() const;     // failed attempts, each retried
    long long dropped() const;      // messages pushed out of a full queue
    long long refused() const;      // messages a receiver refused for good
    long long undelivered() const;  // messages still queued when Finish() gave up
    // Messages that never reached their receiver: dropped, refused and undelivered.
    long long lost() const { return dropped() + refused() + undelivered(); }
    size_t queued() const;

private:
    struct Target;
    long long Sum(long long Target::*counter) const;
    std::vector<std::unique_ptr<Target>> targets_;
    bool finished_ = false;
};

}  // namespace weapon_detect
