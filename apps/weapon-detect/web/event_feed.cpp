#include "web/event_feed.h"

#include <algorithm>

#include "output/records.h"

namespace weapon_detect {

std::string EventFeed::Format(long long id, const std::string& type, const std::string& data) {
    // One JSON line has no line break of its own: one "data:" field.
    return "id: " + std::to_string(id) + "\nevent: " + type + "\ndata: " + data + "\n\n";
}

void EventFeed::Publish(const std::string& type, const nlohmann::ordered_json& data) {
    std::string line = RecordLine(data);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return;
        const Text text = std::make_shared<const std::string>(Format(++lastId_, type, line));
        for (Subscription* s : subscribers_) {
            if (s->closed_) continue;
            if (s->queue_.size() >= kQueueLimit) {
                // Too far behind: it starts over from a hello rather than hold more.
                s->closed_ = true;
                s->queue_.clear();
                ++overflowed_;
                continue;
            }
            s->queue_.push_back(text);
        }
    }
    changed_.notify_all();
}

std::unique_ptr<EventFeed::Subscription> EventFeed::Subscribe() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || subscribers_.size() >= kMaxSubscribers) return nullptr;
    auto s = std::make_unique<Subscription>(Subscription::Key{}, *this, lastId_);
    subscribers_.push_back(s.get());
    return s;
}

void EventFeed::Close() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        for (Subscription* s : subscribers_) s->closed_ = true;
    }
    changed_.notify_all();
}

bool EventFeed::WaitEmpty(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_until(lock, deadline, [this] { return subscribers_.empty(); });
}

size_t EventFeed::subscribers() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return subscribers_.size();
}

long long EventFeed::published() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return lastId_;
}

long long EventFeed::overflowed() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return overflowed_;
}

EventFeed::Subscription::~Subscription() {
    {
        const std::lock_guard<std::mutex> lock(feed_.mutex_);
        auto& list = feed_.subscribers_;
        list.erase(std::remove(list.begin(), list.end(), this), list.end());
    }
    feed_.changed_.notify_all();  // WaitEmpty
}

EventFeed::Text EventFeed::Subscription::Next(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(feed_.mutex_);
    feed_.changed_.wait_until(lock, deadline, [this] { return closed_ || !queue_.empty(); });
    // What was queued before the feed closed still goes out (a laggard's queue was emptied).
    if (queue_.empty()) return nullptr;
    Text text = std::move(queue_.front());
    queue_.pop_front();
    return text;
}

bool EventFeed::Subscription::closed() const {
    const std::lock_guard<std::mutex> lock(feed_.mutex_);
    return closed_;
}

}  // namespace weapon_detect
