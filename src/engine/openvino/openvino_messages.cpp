#include "engine/openvino/openvino_messages.h"

#include <sstream>

namespace zrv::engine {

std::string OpenVinoReason(const std::string& what) {
    std::istringstream in(what);
    std::string line, reason;
    while (std::getline(in, line)) {
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos) continue;
        line = line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
        // "Exception from src/...cpp:97:" and "Check '...' failed at src/...cpp:12:" say
        // where in the runtime, not why.
        if (line.rfind("Exception from ", 0) == 0) continue;
        if (line.rfind("Check '", 0) == 0 && line.find("failed at") != std::string::npos) {
            const auto colon = line.rfind(':', line.size() - 2);
            if (line.back() == ':' || colon == std::string::npos) continue;
            line = line.substr(colon + 1);
        }
        if (!reason.empty()) reason += ' ';
        reason += line;
    }
    if (reason.empty()) reason = "OpenVINO gave no reason";
    if (reason.size() > 400) reason = reason.substr(0, 397) + "...";
    return reason;
}

}  // namespace zrv::engine
