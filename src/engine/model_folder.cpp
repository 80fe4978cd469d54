#include "engine/model_folder.h"

#include <filesystem>
#include <fstream>

namespace zrv::engine {
namespace fs = std::filesystem;

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
        if (!fs::is_regular_file(*path, error)) {
            why = "'" + *path + "' is missing";
            return false;
        }
    }
    return true;
}

bool ReadClassNames(const std::string& path, std::vector<std::string>& names, std::string& why) {
    names.clear();
    std::ifstream in(path);
    if (!in) {
        why = "cannot read the class file '" + path + "'";
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos) continue;
        const auto last = line.find_last_not_of(" \t\r");
        names.push_back(line.substr(first, last - first + 1));
    }
    if (names.empty()) {
        why = "the class file '" + path + "' names no class";
        return false;
    }
    return true;
}

std::string FormatLabelMap(const std::vector<std::string>& names) {
    std::string map;
    for (size_t i = 0; i < names.size(); ++i) map += std::to_string(i) + " " + names[i] + "\n";
    return map;
}

}  // namespace zrv::engine
