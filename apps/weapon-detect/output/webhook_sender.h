// Alarm events POSTed as JSON to web hooks, with libcurl, one thread per URL.
//
// Each URL has a bounded queue (kMaxQueued messages; when full the oldest is dropped and
// counted). Messages go out in order; a failed POST (no connection, a timeout, a status other
// than 2xx) is retried with backoff (0.5 s doubling to 30 s) before the next message, so a
// receiver that is down for a while gets everything the queue held once it is back. Failures
// are counted and said on standard error once per failing spell; they never reach analysis.
//
// Threads: Post() from any thread, never blocks on the network. The destructor gives what is
// queued five seconds to go out, then says how much did not.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace weapon_detect {

class WebhookSender {
public:
    static constexpr size_t kMaxQueued = 1000;

    // Throws std::invalid_argument for a URL that is not http:// or https://.
    explicit WebhookSender(std::vector<std::string> urls);
    ~WebhookSender();
    WebhookSender(const WebhookSender&) = delete;
    WebhookSender& operator=(const WebhookSender&) = delete;

    void Post(const std::string& json);

    long long delivered() const;
    long long failures() const;  // failed attempts
    long long dropped() const;   // messages pushed out of a full queue
    size_t queued() const;

private:
    struct Target;
    long long Sum(long long Target::*counter) const;
    std::vector<std::unique_ptr<Target>> targets_;
};

}  // namespace weapon_detect
