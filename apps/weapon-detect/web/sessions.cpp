#include "web/sessions.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include <sodium.h>

namespace weapon_detect {
namespace {

std::string Hex(const unsigned char* bytes, size_t size) {
    std::string hex(size * 2 + 1, '\0');
    sodium_bin2hex(hex.data(), hex.size(), bytes, size);
    hex.pop_back();
    return hex;
}

// The key a session id is kept under.
std::string IdHash(const std::string& id) {
    unsigned char hash[crypto_generichash_BYTES];
    crypto_generichash(hash, sizeof hash, reinterpret_cast<const unsigned char*>(id.data()), id.size(), nullptr, 0);
    return Hex(hash, sizeof hash);
}

}  // namespace

std::string SessionTable::Open(const std::string& user, const std::string& role, std::chrono::seconds lifetime,
                               SteadyTime now) {
    if (sodium_init() < 0) throw std::runtime_error("libsodium cannot start");
    unsigned char random[32];
    randombytes_buf(random, sizeof random);
    const std::string id = Hex(random, sizeof random);
    std::lock_guard<std::mutex> lock(mutex_);
    DropExpired(now);
    while (!sessions_.empty() && sessions_.size() >= capacity_) {
        sessions_.erase(std::min_element(sessions_.begin(), sessions_.end(),
                                         [](const auto& a, const auto& b) { return a.second.order < b.second.order; }));
    }
    sessions_[IdHash(id)] = {{user, role, now + lifetime}, opened_++};
    return id;
}

std::optional<Session> SessionTable::Find(const std::string& id, SteadyTime now) {
    if (id.size() != 64) return std::nullopt;
    const std::string key = IdHash(id);
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = sessions_.find(key);
    if (found == sessions_.end()) return std::nullopt;
    if (now >= found->second.session.expires) {
        sessions_.erase(found);
        return std::nullopt;
    }
    return found->second.session;
}

void SessionTable::Close(const std::string& id) {
    const std::string key = IdHash(id);
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_.erase(key);
}

size_t SessionTable::Count(SteadyTime now) {
    std::lock_guard<std::mutex> lock(mutex_);
    DropExpired(now);
    return sessions_.size();
}

void SessionTable::DropExpired(SteadyTime now) {
    for (auto i = sessions_.begin(); i != sessions_.end();) {
        i = now >= i->second.session.expires ? sessions_.erase(i) : std::next(i);
    }
}

std::string LoginLimiter::Key(const std::string& address) {
    in6_addr v6{};
    if (address.find(':') == std::string::npos || inet_pton(AF_INET6, address.c_str(), &v6) != 1) return address;
    // An IPv4 client seen through an IPv6 socket counts as itself.
    if (IN6_IS_ADDR_V4MAPPED(&v6)) return address.substr(address.rfind(':') + 1);
    std::memset(v6.s6_addr + 8, 0, 8);
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, &v6, text, sizeof text);
    return std::string(text) + "/64";
}

std::chrono::seconds LoginLimiter::Wait(const std::string& address, SteadyTime now) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = records_.find(Key(address));
    if (found == records_.end() || now >= found->second.lockedUntil) return std::chrono::seconds(0);
    // Rounded up: a client that waits as long as told may try.
    return std::chrono::ceil<std::chrono::seconds>(found->second.lockedUntil - now);
}

void LoginLimiter::Failed(const std::string& address, SteadyTime now) {
    const std::string key = Key(address);
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto i = records_.begin(); i != records_.end();) {
        i = now - i->second.last >= kForget && now >= i->second.lockedUntil ? records_.erase(i) : std::next(i);
    }
    if (!records_.count(key) && records_.size() >= capacity_ && !records_.empty()) {
        records_.erase(std::min_element(records_.begin(), records_.end(),
                                        [](const auto& a, const auto& b) { return a.second.last < b.second.last; }));
    }
    Record& r = records_[key];
    ++r.failures;
    r.last = now;
    if (r.failures >= kFreeFailures) {
        const int doublings = std::min(r.failures - kFreeFailures, 10);
        r.lockedUntil = now + std::min<std::chrono::seconds>(kFirstLock * (1 << doublings), kLongestLock);
    }
}

void LoginLimiter::Succeeded(const std::string& address) {
    const std::string key = Key(address);
    std::lock_guard<std::mutex> lock(mutex_);
    records_.erase(key);
}

size_t LoginLimiter::size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_.size();
}

}  // namespace weapon_detect
