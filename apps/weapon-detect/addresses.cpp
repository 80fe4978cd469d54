#include "addresses.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include <curl/curl.h>

#include "secrets.h"

namespace weapon_detect {

HostPort ParseHttpAddress(const std::string& text) {
    HostPort parsed{"127.0.0.1", 0};
    const auto colon = text.rfind(':');
    std::string port = text;
    if (colon != std::string::npos) {
        parsed.host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (parsed.host.size() > 2 && parsed.host.front() == '[' && parsed.host.back() == ']') {
            parsed.host = parsed.host.substr(1, parsed.host.size() - 2);
        }
        if (parsed.host.empty()) parsed.host = "127.0.0.1";
    }
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(port) < 1 || std::stoi(port) > 65535) {
        throw std::invalid_argument("bad port in '" + text + "' (ADDRESS:PORT, port 1 to 65535)");
    }
    parsed.port = std::stoi(port);
    return parsed;
}

HostPort ParseMqttAddress(const std::string& address) {
    HostPort parsed;
    std::string rest = address;
    const auto scheme = rest.find("://");
    if (scheme != std::string::npos) {
        const std::string name = rest.substr(0, scheme);
        if (name != "mqtt" && name != "tcp") {
            throw std::invalid_argument("'" + name +
                                        "://' is not supported (give host[:port], optionally after "
                                        "mqtt://; TLS and WebSockets are not spoken)");
        }
        rest = rest.substr(scheme + 3);
        if (!rest.empty() && rest.back() == '/') rest.pop_back();
    }
    if (rest.find('@') != std::string::npos) {
        throw std::invalid_argument(
            "no user or password in the address; they come from WEAPON_DETECT_MQTT_USERNAME "
            "and WEAPON_DETECT_MQTT_PASSWORD");
    }
    if (rest.find_first_of("/?#") != std::string::npos) throw std::invalid_argument("a path in the MQTT address");
    parsed.port = 1883;
    std::string portText;
    if (!rest.empty() && rest.front() == '[') {
        const auto close = rest.find(']');
        if (close == std::string::npos) throw std::invalid_argument("no ']' after the IPv6 address");
        parsed.host = rest.substr(1, close - 1);
        const std::string after = rest.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') throw std::invalid_argument("bad text after the IPv6 address");
            portText = after.substr(1);
            if (portText.empty()) throw std::invalid_argument("no MQTT port after ':'");
        }
    } else if (std::count(rest.begin(), rest.end(), ':') > 1) {
        parsed.host = rest;  // a bare IPv6 address: the default port
    } else {
        const auto colon = rest.find(':');
        parsed.host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            portText = rest.substr(colon + 1);
            if (portText.empty()) throw std::invalid_argument("no MQTT port after ':'");
        }
    }
    if (!portText.empty()) {
        size_t used = 0;
        int value = -1;
        try {
            value = std::stoi(portText, &used);
        } catch (const std::exception&) {
        }
        if (used != portText.size() || value < 1 || value > 65535) {
            throw std::invalid_argument("bad MQTT port '" + portText + "'");
        }
        parsed.port = value;
    }
    if (parsed.host.empty()) throw std::invalid_argument("no MQTT host");
    return parsed;
}

void CheckWebhookUrl(const std::string& url) {
    // A control character would reach the request line and every message naming the URL (a
    // CR LF there forges a line of its own): refused, and never echoed.
    for (size_t i = 0; i < url.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(url[i]);
        if (c < 0x20 || c == 0x7f || c == ' ') {
            char what[96];
            std::snprintf(what, sizeof what, "a URL with %s (byte 0x%02x at position %zu)",
                          c == ' ' ? "a space" : "a control character", c, i + 1);
            throw std::invalid_argument(what);
        }
    }
    if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0) {
        throw std::invalid_argument("not an http:// or https:// URL: " + MaskSecrets(url));
    }
    // What libcurl will not take would fail on every event: refused now.
    const std::unique_ptr<CURLU, void (*)(CURLU*)> parsed(curl_url(), curl_url_cleanup);
    if (!parsed) throw std::runtime_error("cannot make a libcurl URL handle");
    const CURLUcode rc = curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0);
    if (rc != CURLUE_OK) {
        throw std::invalid_argument(std::string("not a usable URL (") + curl_url_strerror(rc) +
                                    "): " + MaskSecrets(url));
    }
}

}  // namespace weapon_detect
