#include "store/utc_time.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace weapon_detect {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (400-year eras of 146097 days).
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

bool Digits(const std::string& text, size_t at, size_t count, int& value) {
    if (at + count > text.size()) return false;
    value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

int DaysInMonth(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

}  // namespace

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string FormatUtc(long long ms) {
    long long seconds = ms / 1000;
    long long millis = ms % 1000;
    if (millis < 0) {
        millis += 1000;
        --seconds;
    }
    const auto t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03lldZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, millis);
    return text;
}

std::optional<long long> ParseUtc(const std::string& text) {
    if (text.empty() || text.size() > 40) return std::nullopt;
    if (text.find_first_not_of("0123456789") == std::string::npos) {
        if (text.size() > 15) return std::nullopt;
        return std::stoll(text);
    }
    int year = 0, month = 0, day = 0;
    if (!Digits(text, 0, 4, year) || text.size() < 10 || text[4] != '-' || !Digits(text, 5, 2, month) ||
        text[7] != '-' || !Digits(text, 8, 2, day) || month < 1 || month > 12 || day < 1 ||
        day > DaysInMonth(year, month)) {
        return std::nullopt;
    }
    long long ms = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400000LL;
    if (text.size() == 10) return ms;
    int hour = 0, minute = 0, second = 0;
    if ((text[10] != 'T' && text[10] != 't' && text[10] != ' ') || !Digits(text, 11, 2, hour) || text.size() < 16 ||
        text[13] != ':' || !Digits(text, 14, 2, minute) || hour > 23 || minute > 59) {
        return std::nullopt;
    }
    size_t at = 16;
    if (at < text.size() && text[at] == ':') {
        if (!Digits(text, at + 1, 2, second) || second > 60) return std::nullopt;
        at += 3;
    }
    ms += (hour * 3600LL + minute * 60LL + second) * 1000;
    if (at < text.size() && (text[at] == '.' || text[at] == ',')) {
        ++at;
        long long scale = 100, fraction = 0;
        const size_t first = at;
        for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
            fraction += (text[at] - '0') * scale;
            scale /= 10;
        }
        if (at == first) return std::nullopt;
        ms += fraction;
    }
    if (at == text.size() || ((text[at] == 'Z' || text[at] == 'z') && at + 1 == text.size())) return ms;
    if (text[at] != '+' && text[at] != '-') return std::nullopt;
    const int sign = text[at] == '+' ? 1 : -1;
    int zoneHours = 0, zoneMinutes = 0;
    if (!Digits(text, at + 1, 2, zoneHours) || zoneHours > 23) return std::nullopt;
    at += 3;
    if (at < text.size() && text[at] == ':') ++at;
    if (at < text.size() && (!Digits(text, at, 2, zoneMinutes) || zoneMinutes > 59 || at + 2 != text.size())) {
        return std::nullopt;
    }
    if (at != text.size() && at + 2 != text.size()) return std::nullopt;
    return ms - sign * (zoneHours * 3600000LL + zoneMinutes * 60000LL);
}

}  // namespace weapon_detect
