#include "web/live_view.h"

namespace weapon_detect {

bool ViewerBound::Take() {
    size_t now = taken_;
    do {
        if (now >= most_) return false;
    } while (!taken_.compare_exchange_weak(now, now + 1));
    return true;
}

LiveView::Viewer::~Viewer() {
    --view_.viewers_;
    if (view_.all_) view_.all_->Give();
}

std::unique_ptr<LiveView::Viewer> LiveView::Watch() {
    size_t now = viewers_;
    do {
        if (now >= kViewersPerCamera || closed()) return nullptr;
    } while (!viewers_.compare_exchange_weak(now, now + 1));
    if (all_ && !all_->Take()) {
        --viewers_;
        return nullptr;
    }
    return std::make_unique<Viewer>(Viewer::Key{}, *this);
}

Jpeg LiveView::Next(unsigned long long& seen, Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_until(lock, deadline, [&] { return closed_ || (newest_ && number_ != seen); });
    if (closed_ || !newest_ || number_ == seen) return nullptr;
    seen = number_;
    return newest_;
}

Jpeg LiveView::Still(std::chrono::milliseconds wait) {
    const Clock::time_point now = Clock::now();
    stillAsked_ = now.time_since_epoch().count();
    const auto stale = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(2 * kStillInterval));
    std::unique_lock<std::mutex> lock(mutex_);
    if (!newest_ || now - newestAt_ > stale) {
        const unsigned long long before = number_;
        changed_.wait_until(lock, now + wait, [&] { return closed_ || number_ != before; });
    }
    return newest_;
}

void LiveView::Close() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}

bool LiveView::closed() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}

double LiveView::Interval() const {
    if (viewers_ > 0) return 1.0 / fps_;
    const Clock::rep asked = stillAsked_;
    if (asked == kNever) return 0.0;
    return Clock::now() - Clock::time_point(Clock::duration(asked)) < kStillDemand ? kStillInterval : 0.0;
}

void LiveView::Set(Jpeg jpeg) {
    if (!jpeg) return;
    ++frames_;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        newest_ = std::move(jpeg);
        newestAt_ = Clock::now();
        ++number_;
    }
    changed_.notify_all();
}

}  // namespace weapon_detect
