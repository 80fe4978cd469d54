#include "secrets.h"

#include <regex>

namespace weapon_detect {

std::string MaskSecrets(const std::string& text) {
    if (text.find('@') == std::string::npos) return text;
    // Up to the last '@' before the path: a password holding a raw '@' is masked whole.
    static const std::regex userInfo(R"(([A-Za-z][A-Za-z0-9+.\-]*://)[^/\s?#]*@)");
    return std::regex_replace(text, userInfo, "$1***@");
}

}  // namespace weapon_detect
