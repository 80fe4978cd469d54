#include "output_file.h"

#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace weapon_detect {

OutputFile::OutputFile(std::string path) : path_(std::move(path)) {}

OutputFile::~OutputFile() {
    if (!committed_) {
        std::error_code ignored;
        std::filesystem::remove(partPath(), ignored);
    }
}

std::string OutputFile::partPath() const {
    std::filesystem::path part(path_);
    const std::string extension = part.extension().string();
    part.replace_extension();
    return part.string() + ".part" + extension;
}

void OutputFile::Commit() {
    std::error_code error;
    std::filesystem::rename(partPath(), path_, error);
    if (error) throw std::runtime_error("cannot write " + path_ + ": " + error.message());
    committed_ = true;
}

}  // namespace weapon_detect
