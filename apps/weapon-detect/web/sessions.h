// The page's signed-in sessions and the lock-out of addresses that fail to sign in. Both are
// tables in memory, bounded in size, and take the time as an argument so that their rules
// are tested without waiting. Thread-safe (one lock each, never held while hashing).
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace weapon_detect {

using SteadyTime = std::chrono::steady_clock::time_point;

struct Session {
    std::string user;
    std::string role;  // "viewer" or "admin"
    SteadyTime expires;
};

// Sessions by their id: 32 random bytes in hex, handed to the browser in a cookie. The table
// keeps only a hash of each id, so that a lookup's time says nothing about the ids it holds.
// At most `capacity`: a new session beyond that ends the oldest one.
class SessionTable {
public:
    explicit SessionTable(size_t capacity = 1000) : capacity_(capacity) {}

    // A new session for `user`, ending at `now` + `lifetime`; its id.
    std::string Open(const std::string& user, const std::string& role, std::chrono::seconds lifetime, SteadyTime now);
    // The session of `id` when it is open and has not expired by `now` (an expired one is ended).
    std::optional<Session> Find(const std::string& id, SteadyTime now);
    // Ends the session of `id`, if any.
    void Close(const std::string& id);
    // Sessions open at `now` (expired ones are ended first).
    size_t Count(SteadyTime now);

private:
    struct Entry {
        Session session;
        unsigned long long order;  // when opened: the oldest has the smallest
    };
    void DropExpired(SteadyTime now);

    const size_t capacity_;
    std::mutex mutex_;
    std::map<std::string, Entry> sessions_;  // by the id's hash
    unsigned long long opened_ = 0;
};

// Failed sign-ins per client address. After kFreeFailures failures an address is locked out,
// for kFirstLock and twice as long after each further failure, at most kLongestLock; a
// success forgets it. An address without a failure for kForget is forgotten. At most
// `capacity` addresses: a new one beyond that makes the table forget the one that failed
// longest ago. IPv6 addresses count by their /64 network, which one client usually holds whole.
class LoginLimiter {
public:
    static constexpr int kFreeFailures = 5;
    static constexpr std::chrono::seconds kFirstLock{15};
    static constexpr std::chrono::seconds kLongestLock{300};
    static constexpr std::chrono::seconds kForget{3600};

    explicit LoginLimiter(size_t capacity = 4096) : capacity_(capacity) {}

    // How long `address` must still wait before it may try again; zero when it may now.
    std::chrono::seconds Wait(const std::string& address, SteadyTime now);
    void Failed(const std::string& address, SteadyTime now);
    void Succeeded(const std::string& address);
    size_t size();

    // The key an address counts under: itself, or its /64 network for IPv6.
    static std::string Key(const std::string& address);

private:
    struct Record {
        int failures = 0;
        SteadyTime last;
        SteadyTime lockedUntil;
    };
    const size_t capacity_;
    std::mutex mutex_;
    std::map<std::string, Record> records_;
};

}  // namespace weapon_detect
