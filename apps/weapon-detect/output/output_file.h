// An output that appears under its name only when it is complete. A regular file (or a
// new one) is written as "<stem>.part<extension>" beside its target (the extension kept,
// so that writers choosing a format by it still work) and renamed over the target by
// Commit(); destroyed without Commit(), the part is removed. A symbolic link is followed:
// the file it points to is what gets replaced, and the link stays. A special file (a
// device such as /dev/null, a FIFO, a socket) cannot be replaced: it is written in place
// when the caller allows that, and refused otherwise.
#pragma once

#include <string>
#include <vector>

namespace weapon_detect {

class OutputFile {
public:
    enum class Special { WriteInPlace, Refuse };
    // Throws std::runtime_error naming the path and the reason when it cannot be an output
    // (a folder, a special file that is refused, a link that cannot be followed).
    OutputFile(std::string path, Special special);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // The path as the user gave it.
    const std::string& path() const { return path_; }
    // Where to write until Commit(): the part file, or the special file itself.
    const std::string& writePath() const { return writePath_; }
    bool inPlace() const { return inPlace_; }
    // Renames the part over the target; throws std::runtime_error on failure.
    void Commit();
    // Removes the part now (nothing is committed).
    void Discard();

private:
    std::string path_;
    std::string target_;     // the file that gets replaced (links followed)
    std::string writePath_;
    bool inPlace_ = false;
    bool done_ = false;
};

// The system's reason for the last failed call, for messages.
std::string SystemReason();

// Writes `bytes` to `path` whole or not at all (a part file renamed into place). Throws
// std::runtime_error naming the path and the system's reason.
void WriteWholeFile(const std::string& path, const std::vector<unsigned char>& bytes);

// A camera id made safe as part of a file name: letters, digits, '.', '-' and '_' are
// kept, everything else (path separators included) becomes '_', a leading '.' too, so
// that no id can name a file outside the output folder. Never empty.
std::string FileNameFor(const std::string& cameraId);

}  // namespace weapon_detect
