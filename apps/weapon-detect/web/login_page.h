// The login page (GET /login): login_page.html, built into the program. SignIn fills in its
// <!--message--> and <!--fields--> markers.
#pragma once

namespace weapon_detect {
extern const char* const kLoginHtml;
}
