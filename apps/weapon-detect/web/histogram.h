// A histogram with fixed bucket bounds for the metrics page: one thread observes, any thread
// reads. A reading is consistent in itself (its count is the sum of its buckets), though it
// may miss an observation made while it was taken.
#pragma once

#include <atomic>
#include <vector>

namespace weapon_detect {

class Histogram {
public:
    struct Reading {
        std::vector<double> bounds;           // upper bounds, ascending; +Inf is implied
        std::vector<long long> cumulative;    // one per bound, then the +Inf bucket
        double sum = 0.0;
    };
    explicit Histogram(std::vector<double> bounds);
    void Observe(double value);
    Reading Read() const;

private:
    std::vector<double> bounds_;
    std::vector<std::atomic<long long>> counts_;  // per bucket, not cumulative; the last is +Inf
    std::atomic<double> sum_{0.0};
};

}  // namespace weapon_detect
