#include "output/output_paths.h"

#include <filesystem>
#include <stdexcept>

#include "input/video_source.h"
#include "read_files.h"

namespace fs = std::filesystem;

namespace weapon_detect {

void ProtectReadFiles(const Options& options, const std::vector<CameraConfig>& cameras) {
    ReadFiles& files = ProtectedFiles();
    if (!options.config.empty()) files.Add(options.config);
    files.Add(options.module);
    files.AddFolder(options.models);
    for (const auto& camera : cameras) {
        if (IsImageSequence(camera.input)) {
            files.AddSequence(camera.input);
        } else if (!IsLiveInput(camera.input)) {
            files.Add(camera.input);
        }
        if (camera.groundTruth) files.Add(*camera.groundTruth);
        if (camera.models) files.AddFolder(*camera.models);
    }
}

// Writing an output over an input would destroy it; two outputs in one file would mix into
// one corrupt file.
void RefuseClashingPaths(const std::vector<std::string>& outputs) {
    auto same = [](const std::string& a, const std::string& b) {
        std::error_code error;
        if (fs::equivalent(a, b, error)) return true;
        return fs::weakly_canonical(a, error) == fs::weakly_canonical(b, error);
    };
    for (size_t i = 0; i < outputs.size(); ++i) {
        const std::string read = ProtectedFiles().Match(outputs[i]);
        if (!read.empty()) {
            throw std::runtime_error("output " + outputs[i] + " is the input " + read +
                                     ", which this run reads and never writes");
        }
        for (size_t k = 0; k < i; ++k) {
            if (same(outputs[i], outputs[k])) throw std::runtime_error("output " + outputs[i] + " is given twice");
        }
    }
}

void MakeSnapshotFolder(const std::string& folder) {
    const std::string shown = "the snapshot folder " + folder;
    std::error_code error;
    const fs::file_status link = fs::symlink_status(folder, error);
    const fs::file_status target = fs::status(folder, error);
    if (fs::is_symlink(link) && !fs::exists(target)) {
        const fs::path to = fs::read_symlink(folder, error);
        throw std::runtime_error("cannot use " + shown + ": it is a link to " + to.string() + ", which does not exist");
    }
    if (fs::exists(target)) {
        if (!fs::is_directory(target)) throw std::runtime_error("cannot use " + shown + ": it is not a folder");
        return;
    }
    fs::create_directories(folder, error);
    if (error) throw std::runtime_error("cannot make " + shown + ": " + error.message());
}

}  // namespace weapon_detect
