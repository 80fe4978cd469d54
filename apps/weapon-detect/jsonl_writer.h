// JSON Lines output shared by all stream workers: one JSON object per line, written whole
// under a lock so that lines of different cameras never interleave.
#pragma once

#include <fstream>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>

#include <nlohmann/json.hpp>

#include "output_file.h"

namespace weapon_detect {

class JsonLinesWriter {
public:
    // "-" writes to standard output; any other path is written as a part file and appears
    // under its name at Close().
    explicit JsonLinesWriter(const std::string& path);

    void Write(const nlohmann::ordered_json& record);
    // Flushes and, for a file, closes and commits it. Throws std::runtime_error on failure.
    void Close();
    std::string description() const;

private:
    std::mutex mutex_;
    std::unique_ptr<OutputFile> file_;
    std::ofstream stream_;
    std::ostream* out_ = nullptr;
};

}  // namespace weapon_detect
