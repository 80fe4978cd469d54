// OpenVINO's exception texts span several lines and start with the runtime's own source
// locations; a failed load must say its cause in one line a user can act on.
#pragma once

#include <string>

namespace zrv::engine {

// The lines of `what` that say something, without the runtime's source locations, joined
// into one line of at most 400 characters.
std::string OpenVinoReason(const std::string& what);

}  // namespace zrv::engine
