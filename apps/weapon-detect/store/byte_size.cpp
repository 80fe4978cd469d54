#include "store/byte_size.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace weapon_detect {

std::uint64_t ParseByteSize(const std::string& text) {
    const std::string why = "not a size (a number with K, M, G or T after it, e.g. 500M or 20G, or bytes)";
    size_t i = 0;
    bool digits = false, point = false;
    while (i < text.size() && (std::isdigit(static_cast<unsigned char>(text[i])) || (text[i] == '.' && !point))) {
        if (text[i] == '.') point = true;
        else digits = true;
        ++i;
    }
    if (!digits) throw std::invalid_argument(why);
    const double number = std::stod(text.substr(0, i));
    std::string unit = text.substr(i);
    if (!unit.empty() && unit.front() == ' ') unit.erase(0, 1);
    double scale = 1;
    if (!unit.empty()) {
        const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(unit[0])));
        const std::string rest = unit.substr(1);
        static const char kLetters[] = "KMGT";
        double multiple = 1;
        bool found = false;
        for (const char* l = kLetters; *l; ++l) {
            multiple *= 1024;
            if (letter == *l) {
                found = true;
                break;
            }
        }
        if (letter == 'B' && rest.empty()) {
            multiple = 1;
            found = true;
        } else if (!(rest.empty() || rest == "B" || rest == "b" || rest == "iB" || rest == "ib")) {
            found = false;
        }
        if (!found) throw std::invalid_argument(why);
        scale = multiple;
    } else if (point) {
        throw std::invalid_argument("a number of bytes is whole; a fraction needs a unit (e.g. 1.5G)");
    }
    const double bytes = std::floor(number * scale);
    if (!(bytes >= 1)) throw std::invalid_argument("a size of at least one byte");
    if (bytes > std::ldexp(1.0, 62)) throw std::invalid_argument("more than 4 EiB");
    return static_cast<std::uint64_t>(bytes);
}

void CheckByteSize(const std::string& text) { ParseByteSize(text); }

std::string FormatBytes(std::uint64_t bytes) {
    static const char* const kUnits[] = {"B", "KB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024 && unit < 4) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    if (unit == 0) std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
    else std::snprintf(text, sizeof text, value < 10 ? "%.1f %s" : "%.0f %s", value, kUnits[unit]);
    return text;
}

}  // namespace weapon_detect
