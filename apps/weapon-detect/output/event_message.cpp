#include "output/event_message.h"

#include <memory>
#include <stdexcept>

#include <curl/curl.h>

#include "store/utc_time.h"

namespace weapon_detect {

nlohmann::ordered_json EventMessage(const nlohmann::ordered_json& record, const EventMessageInfo& info) {
    nlohmann::ordered_json message;
    auto times = [&] {
        if (info.id > 0) message["event_id"] = info.id;
        message["start_utc"] = FormatUtc(info.startMs);
        message["end_utc"] = info.endMs ? nlohmann::ordered_json(FormatUtc(*info.endMs)) : nlohmann::ordered_json();
    };
    for (const auto& [key, value] : record.items()) {
        message[key] = value;
        if (key == "phase") times();
    }
    if (!message.contains("start_utc")) times();
    message["clip_state"] = info.clipState;
    if (info.id > 0) {
        const std::string id = std::to_string(info.id);
        const std::string api = info.publicUrl + "/api/events/" + id;
        message["links"] = {{"event", info.publicUrl + "/#event-" + id},
                            {"snapshot", api + "/snapshot"},
                            {"clip", info.clipState == "none" || info.clipState == "failed"
                                         ? nlohmann::ordered_json()
                                         : nlohmann::ordered_json(api + "/clip")}};
    }
    return message;
}

std::string CheckPublicUrl(const std::string& url) {
    for (const char c : url) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x21 || b == 0x7f) throw std::invalid_argument("a URL with a space or a control character");
    }
    if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0) {
        throw std::invalid_argument("not an http:// or https:// URL: " + url);
    }
    const std::unique_ptr<CURLU, void (*)(CURLU*)> parsed(curl_url(), curl_url_cleanup);
    if (!parsed) throw std::runtime_error("cannot make a libcurl URL handle");
    if (const CURLUcode rc = curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0); rc != CURLUE_OK) {
        throw std::invalid_argument(std::string("not a usable URL (") + curl_url_strerror(rc) + "): " + url);
    }
    auto has = [&](CURLUPart part) {
        char* value = nullptr;
        const bool found = curl_url_get(parsed.get(), part, &value, 0) == CURLUE_OK && value && *value;
        curl_free(value);
        return found;
    };
    if (!has(CURLUPART_HOST)) throw std::invalid_argument("a URL without a host: " + url);
    if (has(CURLUPART_USER) || has(CURLUPART_PASSWORD)) {
        throw std::invalid_argument("a public URL is sent in every message: it may hold no user or password");
    }
    if (has(CURLUPART_QUERY) || has(CURLUPART_FRAGMENT)) {
        throw std::invalid_argument("a URL with a query or a fragment (links are made by appending paths): " + url);
    }
    std::string trimmed = url;
    while (!trimmed.empty() && trimmed.back() == '/') trimmed.pop_back();
    return trimmed;
}

}  // namespace weapon_detect
