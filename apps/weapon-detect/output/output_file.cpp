#include "output/output_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "read_files.h"

namespace fs = std::filesystem;

namespace weapon_detect {
namespace {

// Follows symbolic links, dangling ones too, to the file they name.
fs::path FollowLinks(const std::string& path) {
    fs::path current(path);
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code error;
        if (!fs::is_symlink(fs::symlink_status(current, error))) return current;
        const fs::path next = fs::read_symlink(current, error);
        if (error) throw std::runtime_error("cannot follow the link " + path + ": " + error.message());
        current = next.is_absolute() ? next : (current.parent_path() / next).lexically_normal();
    }
    throw std::runtime_error("cannot follow the link " + path + ": too many levels of links");
}

fs::path WithSuffix(const fs::path& target, const std::string& suffix) {
    fs::path named(target);
    named.replace_filename(target.stem().string() + suffix + target.extension().string());
    return named;
}

std::string UtcStamp() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
    return text;
}

// A part file nobody holds was left by a run that died: keep what it holds under a name of
// its own. Throws when a run going on holds it.
void RecoverLeftover(const fs::path& part, const fs::path& target, const std::string& shown) {
    const int fd = ::open(part.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return;  // no leftover
    struct stat info {};
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (regular && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        throw OutputInUse("cannot write " + shown + ": another run is writing it (" + part.string() + ")");
    }
    if (regular && info.st_size == 0) {
        ::unlink(part.c_str());
    } else if (regular) {
        const std::string stamp = ".recovered-" + UtcStamp();
        fs::path kept = WithSuffix(target, stamp);
        for (int n = 2; ::link(part.c_str(), kept.c_str()) != 0; ++n) {
            if (errno != EEXIST || n > 1000) {
                ::close(fd);
                throw std::runtime_error("cannot keep the unfinished " + part.string() + ": " + SystemReason());
            }
            kept = WithSuffix(target, stamp + "-" + std::to_string(n));
        }
        ::unlink(part.c_str());
        std::fprintf(stderr, "weapon-detect: %s was left by a run that did not finish; kept as %s\n",
                     part.c_str(), kept.c_str());
    }
    ::close(fd);
}

}  // namespace

std::string SystemReason() { return std::strerror(errno); }

OutputFile::OutputFile(std::string path, Special special, Mode mode) : path_(std::move(path)) {
    const fs::path target = mode == Mode::New ? fs::path(path_) : FollowLinks(path_);
    target_ = target.string();
    std::error_code error;
    const fs::file_status status = mode == Mode::New ? fs::file_status() : fs::status(target, error);
    if (fs::is_directory(status)) throw std::runtime_error("cannot write " + path_ + ": it is a folder");
    const std::string read = mode == Mode::New ? std::string() : ProtectedFiles().Match(target_);
    if (!read.empty()) {
        throw std::runtime_error("cannot write " + path_ + ": it is the input " + read +
                                 ", which this run reads and never writes");
    }
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        if (special == Special::Refuse) {
            throw std::runtime_error("cannot write " + path_ + ": it is a device, FIFO or socket, not a file");
        }
        inPlace_ = special_ = true;
        writePath_ = target_;
        return;
    }
    const fs::path part = WithSuffix(target, ".part");
    RecoverLeftover(part, target, path_);
    if (mode == Mode::Append) {
        inPlace_ = true;
        writePath_ = target_;
        lock_ = ::open(target_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    } else {
        writePath_ = part.string();
        // A new file's part is made exclusively: a run that made it between the look for a
        // leftover and here owns it.
        const int exclusive = mode == Mode::New ? O_EXCL : O_TRUNC;
        lock_ = ::open(writePath_.c_str(), O_WRONLY | O_CREAT | exclusive | O_CLOEXEC, 0666);
        if (lock_ < 0 && errno == EEXIST) throw OutputInUse("cannot write " + path_ + ": another run is writing it");
    }
    if (lock_ < 0) throw std::runtime_error("cannot write " + path_ + ": " + SystemReason());
    if (::flock(lock_, LOCK_EX | LOCK_NB) != 0) {
        Release();
        throw OutputInUse("cannot write " + path_ + ": another run is writing it");
    }
}

OutputFile::~OutputFile() { Discard(); }

void OutputFile::Release() {
    if (lock_ >= 0) ::close(lock_);
    lock_ = -1;
}

void OutputFile::Discard() {
    if (done_) return;
    done_ = true;
    if (!inPlace_) {
        std::error_code ignored;
        fs::remove(writePath_, ignored);
    }
    Release();
}

void OutputFile::Commit() {
    if (done_) return;
    if (!inPlace_) {
        // A file replaced keeps its mode and owner (a log readable by one group stays so).
        struct stat old {};
        if (::stat(target_.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
            ::chmod(writePath_.c_str(), old.st_mode & 07777);
            if (::chown(writePath_.c_str(), old.st_uid, old.st_gid) != 0) {
                // Only the owner may give a file away; the mode is kept all the same.
            }
        }
        std::error_code error;
        fs::rename(writePath_, target_, error);
        if (error) throw std::runtime_error("cannot write " + path_ + ": " + error.message());
    }
    done_ = true;
    Release();
}

std::string OutputFile::CommitAsNew() {
    if (done_ || inPlace_) throw std::logic_error("CommitAsNew needs an uncommitted part file");
    fs::path name(target_);
    for (int n = 2; ::link(writePath_.c_str(), name.c_str()) != 0; ++n) {
        if (errno != EEXIST || n > 100000) throw std::runtime_error("cannot write " + path_ + ": " + SystemReason());
        name = WithSuffix(target_, "-" + std::to_string(n));
    }
    Discard();
    return name.string();
}

namespace {
void WriteBytes(const std::string& shown, const std::string& where, const std::vector<unsigned char>& bytes) {
    std::FILE* out = std::fopen(where.c_str(), "wb");
    if (!out) throw std::runtime_error("cannot write " + shown + ": " + SystemReason());
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    const std::string reason = written ? std::string() : SystemReason();
    const bool closed = std::fclose(out) == 0;
    if (!written || !closed) {
        throw std::runtime_error("cannot write " + shown + ": " + (written ? SystemReason() : reason));
    }
}
}  // namespace

void WriteWholeFile(const std::string& path, const std::vector<unsigned char>& bytes) {
    OutputFile file(path, OutputFile::Special::Refuse);
    WriteBytes(path, file.writePath(), bytes);
    file.Commit();
}

std::string WriteNewFile(const std::string& path, const std::vector<unsigned char>& bytes) {
    OutputFile file(path, OutputFile::Special::Refuse, OutputFile::Mode::New);
    WriteBytes(path, file.writePath(), bytes);
    return file.CommitAsNew();
}

std::string FileNameFor(const std::string& cameraId) {
    std::string name;
    for (const char c : cameraId.substr(0, 100)) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                          c == '-' || c == '_' || (c == '.' && !name.empty());
        name += keep ? c : '_';
    }
    return name.empty() ? "camera" : name;
}

std::string EventFileStem(const std::string& folder, const std::string& cameraId, long long firstFrame) {
    return (fs::path(folder) / (FileNameFor(cameraId) + "_" + std::to_string(firstFrame))).string();
}

}  // namespace weapon_detect
