// Where the host program finds its parts: relative to its own executable, so that the build
// tree and an installed tree (bin/, lib/, share/ under one prefix) both work without paths
// compiled in from the source tree.
#pragma once

#include <string>

namespace weapon_detect {

// The plug-in module: beside the executable (build tree), else in the library folder of
// the prefix (installed). When neither exists, the installed location, for the message.
std::string DefaultModulePath();
// The demo model folder under the prefix's data folder.
std::string DefaultModelFolder();

}  // namespace weapon_detect
