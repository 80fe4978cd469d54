#include "input/stream_probe.h"

#include <curl/curl.h>

#include <memory>

namespace weapon_detect {
namespace {

constexpr long kMaxRedirects = 10;

// Ends the transfer at the first byte of the body: a stream's body never ends.
extern "C" size_t StopAtBody(char*, size_t, size_t, void*) { return 0; }

// Runs the transfer, looking at `stopped` every 100 ms; CURLE_ABORTED_BY_CALLBACK when it
// said stop.
CURLcode Perform(CURL* c, const std::function<bool()>& stopped) {
    const std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)> multi(curl_multi_init(), curl_multi_cleanup);
    if (!multi || curl_multi_add_handle(multi.get(), c) != CURLM_OK) return CURLE_FAILED_INIT;
    CURLcode result = CURLE_ABORTED_BY_CALLBACK;
    for (int running = 1; running > 0;) {
        if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
            result = CURLE_FAILED_INIT;
            break;
        }
        if (running == 0) {
            int left = 0;
            if (const CURLMsg* message = curl_multi_info_read(multi.get(), &left)) result = message->data.result;
            break;
        }
        if (stopped && stopped()) break;
        curl_multi_poll(multi.get(), nullptr, 0, 100, nullptr);
    }
    curl_multi_remove_handle(multi.get(), c);
    return result;
}

bool IsHttp(const std::string& url) { return url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0; }

}  // namespace

std::string WhyStreamCannotOpen(const std::string& url, int timeoutMs, const std::function<bool()>& stopped) {
    if (!IsHttp(url)) return {};
    const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
    if (!curl) return {};
    CURL* c = curl.get();
    char error[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(timeoutMs));
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, StopAtBody);
    const CURLcode result = Perform(c, stopped);
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    switch (result) {
        case CURLE_OK:
        case CURLE_WRITE_ERROR:  // stopped at the body: the server answered
            if (status >= 400) return "the server answered HTTP " + std::to_string(status);
            return {};
        case CURLE_TOO_MANY_REDIRECTS:
            return "too many redirects (more than " + std::to_string(kMaxRedirects) +
                   "; the server redirects in a loop)";
        case CURLE_ABORTED_BY_CALLBACK: return {};
        case CURLE_OPERATION_TIMEDOUT: return "no answer within " + std::to_string(timeoutMs / 1000) + " s";
        default: return error[0] ? error : curl_easy_strerror(result);
    }
}

std::string CannotOpenMessage(const std::string& url, int timeoutMs, const std::function<bool()>& stopped) {
    const std::string why = WhyStreamCannotOpen(url, timeoutMs, stopped);
    return "cannot open " + url + (why.empty() ? "" : ": " + why);
}

}  // namespace weapon_detect
