#include "web/metrics_text.h"

#include <cmath>
#include <cstdio>

namespace weapon_detect {
namespace {

// The length of the valid UTF-8 sequence at `i`, or 0.
size_t Utf8Length(const std::string& s, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = byte(i);
    size_t n = 0;
    unsigned int min = 0, code = 0;
    if (c < 0x80) return 1;
    if ((c & 0xE0) == 0xC0) n = 2, min = 0x80, code = c & 0x1F;
    else if ((c & 0xF0) == 0xE0) n = 3, min = 0x800, code = c & 0x0F;
    else if ((c & 0xF8) == 0xF0) n = 4, min = 0x10000, code = c & 0x07;
    else return 0;
    if (i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return n;
}

}  // namespace

std::string MetricsText::LabelValue(const std::string& value) {
    std::string out;
    for (size_t i = 0; i < value.size();) {
        const size_t n = Utf8Length(value, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        const char c = value[i];
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c == '\n') out += "\\n";
        else out.append(value, i, n);
        i += n;
    }
    return out;
}

std::string MetricsText::Number(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char text[64];
    if (value == std::floor(value) && std::fabs(value) < 1e15) {
        std::snprintf(text, sizeof text, "%.0f", value);
    } else {
        std::snprintf(text, sizeof text, "%.9g", value);
    }
    return text;
}

void MetricsText::Family(const std::string& name, const char* type, const std::string& help) {
    text_ += "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void MetricsText::Sample(const std::string& name, const Labels& labels, double value) {
    text_ += name;
    if (!labels.empty()) {
        text_ += '{';
        for (size_t i = 0; i < labels.size(); ++i) {
            if (i > 0) text_ += ',';
            text_ += labels[i].first + "=\"" + LabelValue(labels[i].second) + '"';
        }
        text_ += '}';
    }
    text_ += ' ' + Number(value) + '\n';
}

void MetricsText::HistogramSamples(const std::string& name, const Labels& labels, const Histogram::Reading& reading) {
    for (size_t i = 0; i < reading.cumulative.size(); ++i) {
        Labels bucket = labels;
        bucket.emplace_back("le", i < reading.bounds.size() ? Number(reading.bounds[i]) : "+Inf");
        Sample(name + "_bucket", bucket, static_cast<double>(reading.cumulative[i]));
    }
    Sample(name + "_sum", labels, reading.sum);
    Sample(name + "_count", labels, reading.cumulative.empty() ? 0.0 : static_cast<double>(reading.cumulative.back()));
}

}  // namespace weapon_detect
