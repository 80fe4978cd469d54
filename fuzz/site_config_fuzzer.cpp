// The site config reader on arbitrary text: it either accepts (at least one camera, each
// with an input, ids within the limits) or throws ConfigError; never anything else, never a
// crash. Ids that meet are refused later, by the one rule for every camera id (camera_ids.h).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "site_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        const auto site = weapon_detect::ParseSiteConfig(text, "/etc/site.yaml");
        if (site.cameras.empty() || site.cameras.size() > weapon_detect::kMaxCameras) std::abort();
        for (const auto& camera : site.cameras) {
            if (camera.input.empty() || camera.id.size() > weapon_detect::kMaxCameraIdBytes) std::abort();
            if (camera.stride && (*camera.stride < 1 || *camera.stride > 100000)) std::abort();
            if (camera.threshold && !(*camera.threshold >= 0 && *camera.threshold <= 1)) std::abort();
        }
    } catch (const weapon_detect::ConfigError&) {
    }
    return 0;
}
