// Wall-clock times as the event store keeps them (UTC epoch milliseconds) and as people and
// the API write them (ISO 8601).
#pragma once

#include <optional>
#include <string>

namespace weapon_detect {

// Now, in UTC epoch milliseconds.
long long NowMs();
// "2026-12-11T07:00:00.123Z".
std::string FormatUtc(long long ms);
// Epoch milliseconds ("1765436400123") or ISO 8601: a date ("2026-12-11", midnight UTC), or a
// date and time with optional fractions of a second and an optional zone ("Z", "+01:00",
// "-0530"; none: UTC). Nothing for anything else.
std::optional<long long> ParseUtc(const std::string& text);

}  // namespace weapon_detect
