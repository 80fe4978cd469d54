// The class-file reader on arbitrary bytes: never crashes, and what it accepts is a list of
// non-empty names within the limits that round-trips through the label map.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/model_folder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> names;
    std::string why;
    if (!zrv::engine::ParseClassNames(text, "fuzz.names", names, why)) {
        if (why.empty() || !names.empty()) std::abort();
        return 0;
    }
    if (names.empty()) std::abort();
    for (const auto& name : names) {
        if (name.empty() || name.size() > 256 || name.find('\n') != std::string::npos) std::abort();
    }
    const std::string map = zrv::engine::FormatLabelMap(names);
    if (map.compare(0, 2, "0 ") != 0) std::abort();
    return 0;
}
