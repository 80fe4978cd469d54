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
// https:// only), keeping the POST and its body. Failures never reach analysis. URLs are only
// ever shown masked (MaskSecrets).
//
// Health (DeliveryHealth, channels "webhook 1", "webhook 2", … in the order of the URLs): a
// hook is down from a failed POST (said with its reason), up again from a delivered or
// refused one. An idle hook's receiver is looked at with a connection alone (TCP, TLS for
// https; no request) every 5 s while up and every 2 s while down, so that a receiver that goes
// away or comes back is said within seconds while no event is sent. After a failed connection
// the retry waits at most 2 s (the receiver's return is seen at once); after an answer that
// may pass (5xx, 429) the backoff above holds. Each message reports its event's outcome:
// pending (with attempts and the last error), delivered, or failed (refused, dropped,
// not delivered by the end).
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

#include "output/delivery_health.h"

namespace weapon_detect {

class WebhookSender {
public:
    static constexpr size_t kMaxQueued = 1000;
    static constexpr size_t kMaxHooks = 16;
    static constexpr long kMaxRedirects = 5;

    // Throws std::invalid_argument for a URL that is not http:// or https://, or for more
    // than kMaxHooks URLs.
    // `health` (null: one of its own) gets a channel per URL and outlives this.
    explicit WebhookSender(std::vector<std::string> urls, DeliveryHealth* health = nullptr);
    ~WebhookSender();
    WebhookSender(const WebhookSender&) = delete;
    WebhookSender& operator=(const WebhookSender&) = delete;

    // `eventId` (0 for none) is the event whose outcome the message reports.
    void Post(const std::string& json, long long eventId = 0);

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
    std::unique_ptr<DeliveryHealth> ownHealth_;  // when none was given
    std::vector<std::unique_ptr<Target>> targets_;
    bool finished_ = false;
};

}  // namespace weapon_detect
