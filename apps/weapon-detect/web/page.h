// The page served at "/": page.html, built into the program.
#pragma once

namespace weapon_detect {
extern const char* const kPageHtml;
}
