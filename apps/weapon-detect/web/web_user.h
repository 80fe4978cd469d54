// A user of the page, from the site config's http.users.
#pragma once

#include <string>

namespace weapon_detect {

struct WebUser {
    std::string name;
    std::string hash;             // a libsodium argon2id string (password_hash.h)
    std::string role = "viewer";  // "viewer": sees and acknowledges; "admin": also the admin routes
};

}  // namespace weapon_detect
