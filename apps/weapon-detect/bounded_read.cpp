#include "bounded_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace weapon_detect {
namespace {

std::string Megabytes(size_t bytes) {
    return bytes >= (1u << 20) ? std::to_string(bytes >> 20) + " MB" : std::to_string(bytes) + " bytes";
}

// Refuses what is not a regular file of at most `maxBytes`; `info` from fstat or stat.
void CheckKind(const std::string& path, const struct stat& info, size_t maxBytes) {
    if (S_ISDIR(info.st_mode)) throw UnreadableFile(path + ": is a folder, not a file");
    if (!S_ISREG(info.st_mode)) {
        throw UnreadableFile(path + ": not a regular file (a FIFO, device or socket is never read)");
    }
    if (static_cast<unsigned long long>(info.st_size) > maxBytes) {
        throw UnreadableFile(path + ": larger than " + Megabytes(maxBytes));
    }
}

}  // namespace

std::string ReadTextFile(const std::string& path, size_t maxBytes, size_t maxLine) {
    // Non-blocking, so that opening a FIFO nobody writes to returns at once.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw UnreadableFile(path + ": " + std::strerror(errno));
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        const std::string reason = std::strerror(errno);
        ::close(fd);
        throw UnreadableFile(path + ": " + reason);
    }
    try {
        CheckKind(path, info, maxBytes);
    } catch (...) {
        ::close(fd);
        throw;
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            const std::string reason = std::strerror(errno);
            ::close(fd);
            throw UnreadableFile(path + ": " + reason);
        }
        if (got == 0) break;
        text.append(buffer, static_cast<size_t>(got));
        if (text.size() > maxBytes) {  // it grew while being read
            ::close(fd);
            throw UnreadableFile(path + ": larger than " + Megabytes(maxBytes));
        }
    }
    ::close(fd);
    size_t line = 1, start = 0;
    for (size_t end = text.find('\n'); start <= text.size(); end = text.find('\n', start), ++line) {
        const size_t stop = end == std::string::npos ? text.size() : end;
        if (stop - start > maxLine) {
            throw UnreadableFile(path + ":" + std::to_string(line) + ": line longer than " + Megabytes(maxLine));
        }
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return text;
}

void CheckRegularFile(const std::string& path, size_t maxBytes) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) throw UnreadableFile(path + ": " + std::strerror(errno));
    CheckKind(path, info, maxBytes);
}

}  // namespace weapon_detect
