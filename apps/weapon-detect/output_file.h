// A file that appears under its name only when it is complete: it is written as
// "<stem>.part<extension>" (the extension kept, so writers that choose a format by it still
// work) and renamed by Commit(); destroyed without Commit(), the part is removed.
#pragma once

#include <string>

namespace weapon_detect {

class OutputFile {
public:
    explicit OutputFile(std::string path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    const std::string& path() const { return path_; }
    // Where to write until Commit().
    std::string partPath() const;
    // Renames the part to the final name; throws std::runtime_error on failure.
    void Commit();

private:
    std::string path_;
    bool committed_ = false;
};

}  // namespace weapon_detect
