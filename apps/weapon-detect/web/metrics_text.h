// The Prometheus text exposition format (version 0.0.4): metric families with their HELP and
// TYPE lines, samples with escaped labels, histograms as _bucket/_sum/_count.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "web/histogram.h"

namespace weapon_detect {

using Labels = std::vector<std::pair<std::string, std::string>>;

class MetricsText {
public:
    // Starts a family; `type` is "counter", "gauge" or "histogram". Every sample of a
    // family must follow its Family() call, as the format asks.
    void Family(const std::string& name, const char* type, const std::string& help);
    void Sample(const std::string& name, const Labels& labels, double value);
    void HistogramSamples(const std::string& name, const Labels& labels, const Histogram::Reading& reading);
    const std::string& text() const { return text_; }

    // A label value as the format writes it: valid UTF-8 (other bytes become U+FFFD), with
    // backslash, double quote and line feed escaped.
    static std::string LabelValue(const std::string& value);
    // A number as the format writes it: integers without a fraction, NaN, +Inf, -Inf.
    static std::string Number(double value);

private:
    std::string text_;
};

}  // namespace weapon_detect
