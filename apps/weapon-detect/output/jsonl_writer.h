// JSON Lines output shared by all stream workers: one JSON object per line, written whole
// under a lock so that lines of different cameras never interleave.
#pragma once

#include <fstream>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>

#include <nlohmann/json.hpp>

#include "output/output_file.h"

namespace weapon_detect {

class JsonLinesWriter {
public:
    // "-" writes to standard output; any other path is an OutputFile (special files such
    // as /dev/null written in place). Without `append` the file appears under its name at
    // Close(), replacing what was there; with `append` the records are added to the end of
    // the file as they come (a file that a crash left ending inside a line gets a line end
    // first, so that every new record is a line of its own).
    explicit JsonLinesWriter(const std::string& path, bool append = false);

    // Writes one record as one line. Throws std::runtime_error, naming the output and the
    // system's reason, when the write fails (disk full, standard output closed or full):
    // records are never lost silently.
    void Write(const nlohmann::ordered_json& record);
    // Flushes and, for a file, closes and commits it. Throws std::runtime_error on failure.
    void Close();
    // Stops writing and removes the part file: nothing is committed.
    void Discard();
    std::string description() const;

private:
    [[noreturn]] void Fail();

    std::mutex mutex_;
    bool closed_ = false;
    std::unique_ptr<OutputFile> file_;
    std::ofstream stream_;
    std::ostream* out_ = nullptr;
};

}  // namespace weapon_detect
