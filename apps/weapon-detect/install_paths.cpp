#include "install_paths.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace weapon_detect {
namespace {

fs::path ExecutableDir() {
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::current_path() : self.parent_path();
}

constexpr const char* kModuleFile = "libZRVCustomWeaponDetection.so";

}  // namespace

std::string DefaultModulePath() {
    const fs::path dir = ExecutableDir();
    const fs::path beside = dir / kModuleFile;
    std::error_code error;
    if (fs::exists(beside, error)) return beside.string();
    return (dir / ZRV_BIN_TO_LIB / kModuleFile).lexically_normal().string();
}

std::string DefaultModelFolder() {
    return (ExecutableDir() / ZRV_BIN_TO_DATA / "models" / "demo").lexically_normal().string();
}

}  // namespace weapon_detect
