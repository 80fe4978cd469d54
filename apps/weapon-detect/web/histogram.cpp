#include "web/histogram.h"

#include <algorithm>

namespace weapon_detect {

Histogram::Histogram(std::vector<double> bounds) : bounds_(std::move(bounds)), counts_(bounds_.size() + 1) {
    std::sort(bounds_.begin(), bounds_.end());
}

void Histogram::Observe(double value) {
    const size_t bucket = std::lower_bound(bounds_.begin(), bounds_.end(), value) - bounds_.begin();
    ++counts_[bucket];
    double sum = sum_.load();
    while (!sum_.compare_exchange_weak(sum, sum + value)) {
    }
}

Histogram::Reading Histogram::Read() const {
    Reading reading;
    reading.bounds = bounds_;
    long long total = 0;
    for (const auto& count : counts_) {
        total += count.load();
        reading.cumulative.push_back(total);
    }
    reading.sum = sum_.load();
    return reading;
}

}  // namespace weapon_detect
