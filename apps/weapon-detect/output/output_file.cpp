#include "output/output_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

namespace weapon_detect {

std::string SystemReason() { return std::strerror(errno); }

OutputFile::OutputFile(std::string path, Special special) : path_(std::move(path)) {
    std::error_code error;
    fs::path target(path_);
    if (fs::is_symlink(fs::symlink_status(target, error))) {
        target = fs::weakly_canonical(target, error);
        if (error) throw std::runtime_error("cannot follow the link " + path_ + ": " + error.message());
    }
    target_ = target.string();
    const fs::file_status status = fs::status(target, error);
    if (fs::is_directory(status)) throw std::runtime_error("cannot write " + path_ + ": it is a folder");
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        if (special == Special::Refuse) {
            throw std::runtime_error("cannot write " + path_ + ": it is a device, FIFO or socket, not a file");
        }
        inPlace_ = true;
        writePath_ = target_;
        return;
    }
    fs::path part(target);
    const std::string extension = part.extension().string();
    part.replace_extension();
    writePath_ = part.string() + ".part" + extension;
}

OutputFile::~OutputFile() { Discard(); }

void OutputFile::Discard() {
    if (done_ || inPlace_) return;
    done_ = true;
    std::error_code ignored;
    fs::remove(writePath_, ignored);
}

void OutputFile::Commit() {
    if (done_) return;
    if (!inPlace_) {
        std::error_code error;
        fs::rename(writePath_, target_, error);
        if (error) throw std::runtime_error("cannot write " + path_ + ": " + error.message());
    }
    done_ = true;
}

void WriteWholeFile(const std::string& path, const std::vector<unsigned char>& bytes) {
    OutputFile file(path, OutputFile::Special::Refuse);
    std::FILE* out = std::fopen(file.writePath().c_str(), "wb");
    if (!out) throw std::runtime_error("cannot write " + path + ": " + SystemReason());
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    const std::string reason = written ? std::string() : SystemReason();
    const bool closed = std::fclose(out) == 0;
    if (!written || !closed) {
        throw std::runtime_error("cannot write " + path + ": " + (written ? SystemReason() : reason));
    }
    file.Commit();
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

}  // namespace weapon_detect
