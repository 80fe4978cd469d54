// Sizes of storage as a site writes them: "500M", "20G", "1.5T", "4096" (bytes). Binary
// multiples (K = 1024 bytes), an optional "B" or "iB" after the letter ("20GB", "20GiB").
#pragma once

#include <cstdint>
#include <string>

namespace weapon_detect {

// The bytes `text` names; throws std::invalid_argument saying why it is refused (empty,
// negative, zero, an unknown unit, not a number, more than 2^62 bytes).
std::uint64_t ParseByteSize(const std::string& text);
// The check of a size setting (ParseByteSize, the result dropped).
void CheckByteSize(const std::string& text);
// "1.5 GB", "300 MB", "12 KB", "512 B" (binary multiples), for messages.
std::string FormatBytes(std::uint64_t bytes);

}  // namespace weapon_detect
