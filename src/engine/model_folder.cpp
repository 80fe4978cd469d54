#include "engine/model_folder.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace zrv::engine {
namespace fs = std::filesystem;

namespace {
// A class name longer than this is not a label but a broken or hostile file.
constexpr size_t kMaxClassName = 256;
constexpr size_t kMaxClasses = 100000;

// Says exactly what is wrong with a file that should be read: missing, a folder, a
// special file (reading a FIFO could block for good), or unreadable with the system's reason.
bool CheckReadableFile(const std::string& path, std::string& why) {
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (!fs::exists(status)) {
        why = "'" + path + "' is missing";
    } else if (fs::is_directory(status)) {
        why = "'" + path + "' is a folder, not a file";
    } else if (!fs::is_regular_file(status)) {
        why = "'" + path + "' is not a regular file (a device, FIFO or socket)";
    } else if (::access(path.c_str(), R_OK) != 0) {
        why = "cannot read '" + path + "': " + std::strerror(errno);
    } else {
        return true;
    }
    return false;
}
}  // namespace

bool LocateModelFiles(const std::string& folder, const std::string& modelName,
                      const std::string& classFile, ModelFiles& files, std::string& why) {
    std::error_code error;
    if (folder.empty() || !fs::is_directory(folder, error)) {
        why = "model folder '" + folder + "' does not exist or is not a folder";
        return false;
    }
    if (modelName.empty() || classFile.empty()) {
        why = "no model name or class file name given";
        return false;
    }
    files.onnxPath = (fs::path(folder) / (modelName + ".onnx")).string();
    files.classPath = (fs::path(folder) / classFile).string();
    for (const std::string* path : {&files.onnxPath, &files.classPath}) {
        if (!CheckReadableFile(*path, why)) return false;
    }
    return true;
}

bool ReadClassNames(const std::string& path, std::vector<std::string>& names, std::string& why) {
    names.clear();
    if (!CheckReadableFile(path, why)) return false;
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    std::string text;
    if (in) text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!in.is_open() || in.bad()) {
        why = "cannot read the class file '" + path + "': " + (errno ? std::strerror(errno) : "read error");
        return false;
    }
    if (text.empty()) {
        why = "the class file '" + path + "' is empty; it names one class per line";
        return false;
    }
    return ParseClassNames(text, path, names, why);
}

bool ParseClassNames(const std::string& text, const std::string& path, std::vector<std::string>& names,
                     std::string& why) {
    names.clear();
    std::istringstream in(text);
    std::string line;
    for (size_t number = 1; std::getline(in, line); ++number) {
        // Editors on some systems start UTF-8 files with a byte-order mark.
        if (number == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos) continue;
        const auto last = line.find_last_not_of(" \t\r");
        if (last - first + 1 > kMaxClassName || names.size() >= kMaxClasses) {
            why = "the class file '" + path + "' line " + std::to_string(number) +
                  (names.size() >= kMaxClasses ? ": more than " + std::to_string(kMaxClasses) + " classes"
                                               : ": a class name longer than " + std::to_string(kMaxClassName) +
                                                     " bytes");
            names.clear();
            return false;
        }
        names.push_back(line.substr(first, last - first + 1));
    }
    if (names.empty()) {
        why = "the class file '" + path + "' names no class";
        return false;
    }
    return true;
}

std::string ClassSummary(const std::vector<std::string>& names) {
    std::string text = std::to_string(names.size()) + (names.size() == 1 ? " class (" : " classes (");
    for (size_t i = 0; i < names.size() && i < 4; ++i) {
        std::string name = names[i].substr(0, 60);
        for (char& c : name) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
        }
        text += (i ? ", " : "") + name;
    }
    return text + (names.size() > 4 ? ", \u2026)" : ")");
}

std::string FormatLabelMap(const std::vector<std::string>& names) {
    std::string map;
    for (size_t i = 0; i < names.size(); ++i) map += std::to_string(i) + " " + names[i] + "\n";
    return map;
}

}  // namespace zrv::engine
