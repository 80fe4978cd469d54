#include "secrets.h"

#include <regex>

namespace weapon_detect {

std::string MaskSecrets(const std::string& text) {
    if (text.find('@') == std::string::npos) return text;
    static const std::regex userInfo(R"(([A-Za-z][A-Za-z0-9+.\-]*://)[^/@\s?#]*@)");
    return std::regex_replace(text, userInfo, "$1***@");
}

}  // namespace weapon_detect
