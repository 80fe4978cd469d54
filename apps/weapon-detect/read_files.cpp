#include "read_files.h"

#include <sys/stat.h>

#include <filesystem>
#include <regex>

namespace fs = std::filesystem;

namespace weapon_detect {

void ReadFiles::Add(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) return;
    std::lock_guard<std::mutex> lock(mutex_);
    ids_.insert({info.st_dev, info.st_ino});
    named_.insert({{info.st_dev, info.st_ino}, path});
}

void ReadFiles::AddFolder(const std::string& folder) {
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        Add(it->path().string());
    }
}

void ReadFiles::AddSequence(const std::string& pattern) {
    const fs::path path(pattern);
    // The printf field becomes "one or more digits"; everything else matches itself.
    const std::string name = path.filename().string();
    std::string expression;
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '%') {
            size_t k = i + 1;
            while (k < name.size() && std::isdigit(static_cast<unsigned char>(name[k]))) ++k;
            if (k < name.size() && name[k] == 'd') {
                expression += "[0-9]+";
                i = k;
                continue;
            }
        }
        if (std::string("\\^$.|?*+()[]{}").find(name[i]) != std::string::npos) expression += '\\';
        expression += name[i];
    }
    const std::regex frame(expression);
    const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        if (std::regex_match(it->path().filename().string(), frame)) Add(it->path().string());
    }
}

std::string ReadFiles::Match(const std::string& path) const {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return {};
    std::lock_guard<std::mutex> lock(mutex_);
    if (ids_.count({info.st_dev, info.st_ino}) == 0) return {};
    const auto named = named_.lower_bound({{info.st_dev, info.st_ino}, std::string()});
    return named->second;
}

ReadFiles& ProtectedFiles() {
    static ReadFiles files;
    return files;
}

}  // namespace weapon_detect
