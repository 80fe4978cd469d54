// The detectors of tools/generate_user_exports.py, generated once per build folder.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace engine_test {

// Runs a generator unless `marker` is in `folder`; its output stays for later runs. Under a
// lock beside the folder, so that tests run in parallel generate it once, and never read
// it while it is written.
inline std::string Generated(const std::string& folder, const std::string& marker, const std::string& command) {
    if (!std::filesystem::exists(folder + "/" + marker)) {
        std::filesystem::create_directories(folder);
        const std::string run = "flock '" + folder + ".lock' sh -c \"test -e '" + folder + "/" + marker + "' || " +
                                command + "\" > '" + folder + ".log' 2>&1";
        EXPECT_EQ(std::system(run.c_str()), 0) << "generating the models failed; see " << folder << ".log";
    }
    return folder;
}

// tasks.json is written last.
inline const std::string& UserExports() {
    static const std::string folder =
        Generated(ZRV_USER_EXPORTS, "tasks.json",
                  "/usr/bin/python3 " ZRV_SOURCE_DIR "/tools/generate_user_exports.py " ZRV_USER_EXPORTS);
    return folder;
}

}  // namespace engine_test
