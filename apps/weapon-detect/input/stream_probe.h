// Why a stream URL cannot be opened. The video back end only says that opening failed; for
// http:// and https:// URLs the server is asked directly (a GET that stops at the first byte
// of the body), so that the message can say why: a redirect loop, an HTTP error, a refused
// connection, no answer.
#pragma once

#include <functional>
#include <string>

namespace weapon_detect {

// The probable reason `url` could not be opened, or "" when it is not an http(s) URL or the
// server answered as a stream would. Waits at most `timeoutMs`, and returns within 100 ms once
// `stopped` says so. Never throws; safe on any thread.
std::string WhyStreamCannotOpen(const std::string& url, int timeoutMs, const std::function<bool()>& stopped);

// "cannot open <url>" with the probable reason when one is found; the caller masks the URL's
// credentials where it prints it.
std::string CannotOpenMessage(const std::string& url, int timeoutMs, const std::function<bool()>& stopped);

}  // namespace weapon_detect
