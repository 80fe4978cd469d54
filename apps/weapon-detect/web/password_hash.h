// Passwords of the page's users as libsodium argon2id strings ("$argon2id$v=19$m=...").
//
// Verifying costs what the hash says (memory m KiB, t passes): CheckPasswordHash bounds both,
// so that a config cannot make one sign-in take gigabytes. Thread-safe; the callers bound how
// many run at once (SignIn).
#pragma once

#include <cstdio>
#include <string>

namespace weapon_detect {

// The hash of `password` with libsodium's interactive limits (64 MiB, 2 passes). Throws
// std::runtime_error when libsodium cannot (out of memory).
std::string HashPassword(const std::string& password);
// True when `password` is the one `hash` was made from; constant time in the password.
bool VerifyPassword(const std::string& hash, const std::string& password);
// Throws std::invalid_argument saying why `hash` is not one the program verifies: not an
// argon2id string, or asking for more than 1 GiB of memory or 16 passes.
void CheckPasswordHash(const std::string& hash);

// weapon-detect --hash-password: reads one password (its first line) from `in`, without
// echo and asked twice when `in` is a terminal, and prints its hash on `out`. 0 on success,
// 2 for an empty or too long password or two that differ, 1 when the output fails.
int HashPasswordCommand(int in, std::FILE* out, std::FILE* messages);

}  // namespace weapon_detect
