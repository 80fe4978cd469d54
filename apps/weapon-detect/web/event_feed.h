// The page's live feed: messages (an alarm event changed, a camera's state, a delivery channel)
// fanned out to every subscriber, as the Server-Sent Events of GET /api/stream carry them.
//
// Each message is made into its SSE text once ("id: N\nevent: TYPE\ndata: JSON\n\n", N counting
// from 1) and shared by every subscriber's queue. A subscriber's queue holds at most
// kQueueLimit messages: one that falls further behind is closed (its EventSource reconnects and
// starts whole again from the "hello"). At most kMaxSubscribers at once.
//
// Threads: Publish from any thread, never waiting on a subscriber (one short lock). A
// Subscription is used by one thread (its stream's); Close() from any thread wakes and ends
// every subscription.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace weapon_detect {

class EventFeed {
public:
    static constexpr size_t kMaxSubscribers = 32;
    static constexpr size_t kQueueLimit = 256;
    using Text = std::shared_ptr<const std::string>;

    class Subscription {
        struct Key {};  // only the feed makes subscriptions

    public:
        Subscription(Key, EventFeed& feed, long long since) : feed_(feed), since_(since) {}
        ~Subscription();
        Subscription(const Subscription&) = delete;
        Subscription& operator=(const Subscription&) = delete;

        // The next message's SSE text, waiting until `deadline`; null on time out and once
        // closed with nothing left queued (closed() says which).
        Text Next(std::chrono::steady_clock::time_point deadline);
        // Fell more than kQueueLimit behind, or the feed closed.
        bool closed() const;
        // The id of the last message published before this subscription began.
        long long since() const { return since_; }

    private:
        friend class EventFeed;
        EventFeed& feed_;
        const long long since_;
        std::deque<Text> queue_;  // under the feed's lock
        bool closed_ = false;
    };

    // Tells every subscriber; thread safe, never blocks on a subscriber.
    void Publish(const std::string& type, const nlohmann::ordered_json& data);
    // Null when kMaxSubscribers are subscribed or the feed is closed.
    std::unique_ptr<Subscription> Subscribe();
    // Ends every subscription and refuses new ones.
    void Close();
    // After Close: waits until every subscriber has taken what was queued for it and left,
    // or until `deadline` (a client that stops reading never leaves); true when all left.
    bool WaitEmpty(std::chrono::steady_clock::time_point deadline);

    // One message's SSE text.
    static std::string Format(long long id, const std::string& type, const std::string& data);

    size_t subscribers() const;
    long long published() const;
    // Subscribers closed for falling behind.
    long long overflowed() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Subscription*> subscribers_;
    long long lastId_ = 0;
    long long overflowed_ = 0;
    bool closed_ = false;
};

}  // namespace weapon_detect
