// The run's effective settings as JSON, for the page's GET /api/config (admins only).
#pragma once

#include <nlohmann/json.hpp>

#include "settings.h"

namespace weapon_detect {

// Every setting of the table by its long name ("threshold", "http"), the cameras of a site
// config, and the page's users by name and role. Secrets are left out: the users' password
// hashes, and the user information of every URL (MaskSecrets); the token and the MQTT
// password come from the environment and are never in the options.
nlohmann::ordered_json EffectiveSettings(const Options& options);

}  // namespace weapon_detect
