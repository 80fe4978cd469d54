#include "camera_ids.h"

#include <cstdio>
#include <map>
#include <stdexcept>

#include <CLI/CLI.hpp>

#include "output/output_file.h"

namespace weapon_detect {
namespace {

// The length in bytes of the control character at `i`, 0 for none: C0 bytes, DEL, and the
// C1 code points U+0080 to U+009F (0xC2 0x80 to 0xC2 0x9F in UTF-8).
size_t ControlAt(const std::string& text, size_t i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f) return 1;
    if (c == 0xc2 && i + 1 < text.size()) {
        const auto next = static_cast<unsigned char>(text[i + 1]);
        if (next >= 0x80 && next <= 0x9f) return 2;
    }
    return 0;
}

// The longest start of `text` of at most `bytes` bytes that does not cut a UTF-8 sequence.
std::string Cut(const std::string& text, size_t bytes) {
    if (text.size() <= bytes) return text;
    size_t end = bytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xc0) == 0x80) --end;
    return text.substr(0, end);
}

// FileNameFor keeps this many bytes of an id: a suffix must land inside them.
constexpr size_t kFileNameBytes = 100;

}  // namespace

void CheckCameraId(const std::string& id) {
    for (size_t i = 0; i < id.size(); ++i) {
        if (const size_t length = ControlAt(id, i)) {
            char what[160];
            std::snprintf(what, sizeof what,
                          "holds a control character (byte %zu, 0x%02X%s); give an id of printable characters", i + 1,
                          static_cast<unsigned>(static_cast<unsigned char>(id[i + length - 1])),
                          length == 2 ? " after 0xC2" : "");
            throw std::invalid_argument(what);
        }
    }
}

std::string WithoutControlCharacters(const std::string& id) {
    std::string safe;
    safe.reserve(id.size());
    for (size_t i = 0; i < id.size();) {
        const size_t length = ControlAt(id, i);
        safe += length ? '_' : id[i];
        i += length ? length : 1;
    }
    return safe;
}

std::vector<std::string> UniqueCameraIds(const std::vector<CameraIdRequest>& requests) {
    std::vector<std::string> ids(requests.size());
    std::map<std::string, size_t> taken;  // file name -> the camera that has it
    // Given ids first: they are the user's, and never renamed.
    for (size_t i = 0; i < requests.size(); ++i) {
        const CameraIdRequest& r = requests[i];
        if (!r.given) continue;
        const auto [other, fresh] = taken.emplace(FileNameFor(r.id), i);
        if (!fresh) {
            const CameraIdRequest& first = requests[other->second];
            const std::string message =
                first.id == r.id ? "camera id '" + r.id + "' is given twice (first at " + first.origin + ")"
                                 : "camera id '" + r.id + "' is '" + other->first +
                                       "' in file names and MQTT topics, as is '" + first.id + "' (at " + first.origin +
                                       "); give ids that differ in letters, digits, '.', '-' or '_'";
            throw CLI::ValidationError(r.origin, message);
        }
        ids[i] = r.id;
    }
    // Derived ids keep their own name where it is free, those spelt as in file names first.
    std::vector<bool> named(requests.size());
    for (size_t i = 0; i < requests.size(); ++i) named[i] = requests[i].given;
    for (const bool exact : {true, false}) {
        for (size_t i = 0; i < requests.size(); ++i) {
            const std::string name = FileNameFor(requests[i].id);
            if (named[i] || (name == requests[i].id) != exact) continue;
            named[i] = taken.emplace(name, i).second;
            if (named[i]) ids[i] = requests[i].id;
        }
    }
    // The rest get the first free suffix, checked against every name given out so far.
    for (size_t i = 0; i < requests.size(); ++i) {
        for (size_t n = 2; !named[i]; ++n) {
            const std::string suffix = "_" + std::to_string(n);
            const std::string candidate = Cut(requests[i].id, kFileNameBytes - suffix.size()) + suffix;
            named[i] = taken.emplace(FileNameFor(candidate), i).second;
            if (named[i]) ids[i] = candidate;
        }
    }
    return ids;
}

}  // namespace weapon_detect
