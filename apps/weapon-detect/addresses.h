// The network addresses and URLs the settings take, parsed without opening anything, so
// that the command line and the site config refuse a bad one before a run starts.
#pragma once

#include <string>

namespace weapon_detect {

struct HostPort {
    std::string host;
    int port = 0;
};

// The page's address: "HOST:PORT", "[IPv6]:PORT", ":PORT" or "PORT" (host 127.0.0.1 for
// the last two). Throws std::invalid_argument for a port outside 1..65535 or missing.
HostPort ParseHttpAddress(const std::string& text);

// A broker's address: "host[:port]" (port 1883 when left out), "[IPv6]:port" or a bare
// IPv6 address, optionally after "mqtt://" or "tcp://". Throws std::invalid_argument for
// other schemes (TLS and WebSockets are not spoken), a user or password (they come from
// the environment only), a path, or a bad port.
HostPort ParseMqttAddress(const std::string& address);

// A web hook's URL: throws std::invalid_argument unless it starts with http:// or https://
// and libcurl can parse it; a control character or a space is refused without echoing the URL.
void CheckWebhookUrl(const std::string& url);

}  // namespace weapon_detect
