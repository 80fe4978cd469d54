#include "store/retention.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "store/byte_size.h"
#include "store/utc_time.h"

namespace fs = std::filesystem;

namespace weapon_detect {

// One event's files as a pass sees them.
struct Retention::Files {
    long long id = 0;
    long long startMs = 0;
    bool acknowledged = false;
    bool busy = false;               // open, or its clip being recorded: never touched
    std::vector<std::string> paths;  // inside the folder
    std::uint64_t bytes = 0;
    bool removed = false;
};

namespace {

constexpr long long kDayMs = 24LL * 60 * 60 * 1000;
// The event's end reaches the store from the camera's thread just after it is reported here.
constexpr std::chrono::seconds kAfterEventEnd{2};
constexpr const char* kReasons[] = {"retain-days", "max-storage", "min-free"};

bool Inside(const fs::path& path, const fs::path& folder) {
    const fs::path relative = path.lexically_relative(folder);
    return !relative.empty() && *relative.begin() != ".." && relative != ".";
}

// The indices of the events a size rule removes, oldest first, until `needed` bytes are
// freed: acknowledged ones first, then (when `unacknowledged`) the rest.
template <typename FilesVector>
std::vector<size_t> Oldest(const FilesVector& files, std::uint64_t needed, bool unacknowledged) {
    std::vector<size_t> picked;
    std::uint64_t freed = 0;
    for (int round = 0; round < (unacknowledged ? 2 : 1) && freed < needed; ++round) {
        for (size_t i = 0; i < files.size() && freed < needed; ++i) {
            const auto& f = files[i];
            if (f.busy || f.removed || f.paths.empty() || f.acknowledged != (round == 0)) continue;
            picked.push_back(i);
            freed += f.bytes;
        }
    }
    return picked;
}

}  // namespace

Retention::Retention(RetentionSettings settings, EventStore& store) : settings_(std::move(settings)), store_(store) {
    settings_.folder = fs::absolute(fs::path(settings_.folder)).lexically_normal().string();
    for (const char* reason : kReasons) removedEvents_[reason] = 0;
}

Retention::~Retention() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void Retention::Start() {
    thread_ = std::thread([this] { Loop(); });
}

void Retention::Wake() { PassBy(std::chrono::steady_clock::now()); }

void Retention::PassBy(std::chrono::steady_clock::time_point at) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (at >= due_) return;
        due_ = at;
    }
    wake_.notify_all();
}

void Retention::EventEnded() {
    if (settings_.maxBytes > 0) PassBy(std::chrono::steady_clock::now() + kAfterEventEnd);
}

void Retention::Loop() {
    for (;;) {
        try {
            Pass(NowMs());
        } catch (const std::exception& e) {
            // The next pass tries again; the analysis goes on.
            std::fprintf(stderr, "weapon-detect: storage: a pass failed: %s\n", e.what());
        }
        std::unique_lock<std::mutex> lock(mutex_);
        const auto regular = std::chrono::steady_clock::now() + settings_.interval;
        // Woken by a stop or by an earlier pass asked for (the wait then starts over).
        while (!stop_ && std::chrono::steady_clock::now() < std::min(regular, due_)) {
            wake_.wait_until(lock, std::min(regular, due_));
        }
        if (stop_) return;
        if (due_ <= std::chrono::steady_clock::now()) due_ = std::chrono::steady_clock::time_point::max();
    }
}

std::uint64_t Retention::FreeBytes() const {
    if (settings_.freeBytes) return settings_.freeBytes();
    struct statvfs s {};
    if (statvfs(settings_.folder.c_str(), &s) != 0) return 0;
    return static_cast<std::uint64_t>(s.f_bavail) * s.f_frsize;
}

bool Retention::CheckFloor() {
    const std::uint64_t bytes = FreeBytes();
    freeBytes_ = bytes;
    looked_ = true;
    if (settings_.minFree == 0) return false;
    const bool below = bytes < settings_.minFree;
    if (belowFloor_.exchange(below) != below) {
        if (below) {
            std::fprintf(stderr,
                         "weapon-detect: storage: %s has %s free, below the floor of %s (--min-free): new clips are "
                         "skipped, below %s new snapshots too; records go on\n",
                         settings_.folder.c_str(), FormatBytes(bytes).c_str(), FormatBytes(settings_.minFree).c_str(),
                         FormatBytes(settings_.minFree / 2).c_str());
        } else {
            std::fprintf(stderr,
                         "weapon-detect: storage: %s has %s free again, above the floor of %s: clips and snapshots "
                         "are written again\n",
                         settings_.folder.c_str(), FormatBytes(bytes).c_str(), FormatBytes(settings_.minFree).c_str());
        }
    }
    return below;
}

void Retention::Pass(long long nowMs) {
    const std::lock_guard<std::mutex> lock(passing_);
    CheckFloor();
    PassLocked(nowMs, freeBytes_);
    // What the removals gave back.
    if (belowFloor_) CheckFloor();
}

void Retention::PassLocked(long long nowMs, std::uint64_t freeBytes) {
    const fs::path folder(settings_.folder);
    std::vector<Files> files;
    std::uint64_t total = 0;
    for (const StoredEvent& e : store_.WithFiles()) {
        Files f;
        f.id = e.id;
        f.startMs = e.startMs;
        f.acknowledged = e.acknowledgedMs.has_value();
        f.busy = e.state == "open" || e.clipState == "recording";
        for (const std::string* stored : {&e.snapshot, &e.clip}) {
            if (stored->empty()) continue;
            const fs::path full = fs::path(store_.FullPath(*stored)).lexically_normal();
            if (!Inside(full, folder)) continue;
            std::error_code error;
            const auto size = fs::file_size(full, error);
            if (!error) f.bytes += size;
            f.paths.push_back(full.string());
        }
        total += f.bytes;
        files.push_back(std::move(f));
    }
    storageBytes_ = total;
    if (!settings_.removes()) return;

    if (settings_.retainDays > 0) {
        const long long cutoff = nowMs - settings_.retainDays * kDayMs;
        std::vector<size_t> picked;
        for (int round = 0; round < 2; ++round) {
            for (size_t i = 0; i < files.size(); ++i) {
                const Files& f = files[i];
                if (f.startMs >= cutoff || f.busy || f.paths.empty() || f.acknowledged != (round == 0)) continue;
                picked.push_back(i);
            }
        }
        total -= Remove(files, picked, "retain-days", nowMs);
    }
    if (settings_.maxBytes > 0 && total > settings_.maxBytes) {
        total -= Remove(files, Oldest(files, total - settings_.maxBytes, true), "max-storage", nowMs);
    }
    if (settings_.minFree > 0 && freeBytes < settings_.minFree) {
        total -= Remove(files, Oldest(files, settings_.minFree - freeBytes, false), "min-free", nowMs);
    }
    storageBytes_ = total;
}

std::uint64_t Retention::Remove(std::vector<Files>& files, const std::vector<size_t>& picked, const char* reason,
                                long long nowMs) {
    long long events = 0, unacknowledged = 0;
    std::uint64_t bytes = 0;
    long long oldest = 0;
    for (size_t i : picked) {
        Files& f = files[i];
        bool all = true;
        for (const std::string& path : f.paths) {
            std::error_code error;
            fs::remove(path, error);  // one already gone is removed all the same
            if (error) {
                all = false;
                std::fprintf(stderr, "weapon-detect: storage: cannot remove %s: %s\n", path.c_str(),
                             error.message().c_str());
            }
        }
        if (!all) continue;  // tried again at the next pass
        store_.MarkFilesRemoved(f.id, nowMs);
        f.removed = true;
        if (events == 0 || f.startMs < oldest) oldest = f.startMs;
        ++events;
        bytes += f.bytes;
        if (!f.acknowledged) ++unacknowledged;
    }
    if (events == 0) return 0;
    {
        const std::lock_guard<std::mutex> lock(countsMutex_);
        removedEvents_[reason] += events;
        removedBytes_ += bytes;
    }
    std::fprintf(stderr,
                 "weapon-detect: storage: removed the files of %lld event%s (%.1f MB), oldest from %s; reason %s\n",
                 events, events == 1 ? "" : "s", static_cast<double>(bytes) / 1e6, FormatUtc(oldest).c_str(), reason);
    if (unacknowledged > 0) {
        std::fprintf(stderr,
                     "weapon-detect: storage: %lld of them unacknowledged alarm%s: nothing else was left to remove "
                     "(reason %s)\n",
                     unacknowledged, unacknowledged == 1 ? "" : "s", reason);
    }
    return bytes;
}

std::string Retention::ClipRefusal() {
    if (settings_.minFree == 0) return {};
    const std::lock_guard<std::mutex> lock(passing_);
    if (!CheckFloor()) return {};
    // Room is made first where a bound allows removing; only then are the clips given up.
    if (settings_.removes()) {
        PassLocked(NowMs(), freeBytes_);
        if (!CheckFloor()) return {};
    }
    return "free space in " + settings_.folder + " is " + FormatBytes(freeBytes_) + ", below the floor of " +
           FormatBytes(settings_.minFree) + " (--min-free)";
}

std::string Retention::SnapshotRefusal() const {
    if (settings_.minFree == 0 || !looked_ || freeBytes_ >= settings_.minFree / 2) return {};
    return "free space in " + settings_.folder + " is " + FormatBytes(freeBytes_) + ", below half the floor of " +
           FormatBytes(settings_.minFree) + " (--min-free)";
}

void Retention::Metrics(MetricsText& m) const {
    const Labels folder{{"folder", settings_.folder}};
    m.Family("weapon_detect_storage_bytes", "gauge", "Bytes of the event files (snapshots and clips) in the folder.");
    m.Sample("weapon_detect_storage_bytes", folder, static_cast<double>(storageBytes_));
    m.Family("weapon_detect_free_bytes", "gauge", "Free bytes in the snapshot folder's file system.");
    m.Sample("weapon_detect_free_bytes", folder, static_cast<double>(freeBytes_));
    const std::lock_guard<std::mutex> lock(countsMutex_);
    m.Family("weapon_detect_retention_removed_total", "counter",
             "Events whose snapshot and clip were removed to bound the storage, by reason.");
    for (const auto& [reason, count] : removedEvents_) {
        m.Sample("weapon_detect_retention_removed_total", {{"reason", reason}}, static_cast<double>(count));
    }
    m.Family("weapon_detect_retention_removed_bytes_total", "counter",
             "Bytes of event files removed to bound the storage.");
    m.Sample("weapon_detect_retention_removed_bytes_total", {}, static_cast<double>(removedBytes_));
}

nlohmann::ordered_json Retention::Json() const {
    auto optionalBytes = [](std::uint64_t bytes) {
        return bytes == 0 ? nlohmann::ordered_json() : nlohmann::ordered_json(bytes);
    };
    const bool below = belowFloor_;
    return {{"folder", settings_.folder},
            {"storage_bytes", storageBytes_.load()},
            {"free_bytes", freeBytes_.load()},
            {"max_storage", optionalBytes(settings_.maxBytes)},
            {"retain_days",
             settings_.retainDays == 0 ? nlohmann::ordered_json() : nlohmann::ordered_json(settings_.retainDays)},
            {"min_free", optionalBytes(settings_.minFree)},
            {"below_floor", below},
            {"clips", below ? "skipped" : "written"},
            {"snapshots", SnapshotRefusal().empty() ? "written" : "skipped"}};
}

}  // namespace weapon_detect
