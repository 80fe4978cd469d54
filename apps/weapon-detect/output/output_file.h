// An output that appears under its name only when it is complete. A regular file (or a
// new one) is written as "<stem>.part<extension>" beside its target (the extension kept,
// so that writers choosing a format by it still work) and renamed over the target by
// Commit(); destroyed without Commit(), the part is removed. A replaced file keeps its
// mode and, where the system allows, its owner.
//
// A symbolic link is followed, a dangling one too: the file it points to is what gets
// written, and the link stays. A special file (a device such as /dev/null, a FIFO, a
// socket) cannot be replaced: it is written in place when the caller allows that, and
// refused otherwise. A file the run reads (ProtectedFiles()) is always refused.
//
// The part file is locked while its run lives. A part file found unlocked when an output
// is made was left by a run that died (SIGKILL, a power cut): it is kept, renamed to
// "<stem>.recovered-<UTC time><extension>", and that is said on standard error. A part
// file still locked belongs to a run going on: the output is refused.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace weapon_detect {

// The output's part file is held by a run going on (this one or another).
class OutputInUse : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class OutputFile {
public:
    enum class Special { WriteInPlace, Refuse };
    enum class Mode {
        Replace,  // a part file, renamed over the target when complete
        Append,   // the target itself, opened for appending and locked while the run lives
        New,      // a part file given a free name by CommitAsNew(); nothing is ever replaced
    };
    // Throws std::runtime_error naming the path and the reason when it cannot be an output
    // (a folder, a special file that is refused, a file the run reads, a missing folder,
    // no permission); OutputInUse when a run going on writes its part file.
    OutputFile(std::string path, Special special, Mode mode = Mode::Replace);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // The path as the user gave it.
    const std::string& path() const { return path_; }
    // Where to write until Commit(): the part file, or the target itself (appending, or a
    // special file).
    const std::string& writePath() const { return writePath_; }
    bool inPlace() const { return inPlace_; }
    // A device, FIFO or socket, written in place.
    bool special() const { return special_; }
    // Renames the part over the target; throws std::runtime_error on failure.
    void Commit();
    // Links the part under the target's name only if that name is free, else under the
    // first free "<stem>-<n><extension>"; never replaces a file. Returns the name used.
    std::string CommitAsNew();
    // Removes the part now (nothing is committed).
    void Discard();

private:
    void Release();

    std::string path_;
    std::string target_;     // the file that gets written (links followed)
    std::string writePath_;
    int lock_ = -1;          // holds the lock on the part (or the appended target)
    bool inPlace_ = false;
    bool special_ = false;
    bool done_ = false;
};

// The system's reason for the last failed call, for messages.
std::string SystemReason();

// Writes `bytes` to `path` whole or not at all (a part file renamed into place). Throws
// std::runtime_error naming the path and the system's reason.
void WriteWholeFile(const std::string& path, const std::vector<unsigned char>& bytes);
// The same for a file that must not replace anything: written under `path` or, when that
// name is taken, under the first free "<stem>-<n><extension>". Returns the name used.
std::string WriteNewFile(const std::string& path, const std::vector<unsigned char>& bytes);

// A camera id made safe as part of a file name: letters, digits, '.', '-' and '_' are
// kept, everything else (path separators included) becomes '_', a leading '.' too, so
// that no id can name a file outside the output folder. Never empty.
std::string FileNameFor(const std::string& cameraId);

// Where an event's snapshot and clip go, without the extension: `<folder>/<camera>_<first
// frame>`, the camera id spelt by FileNameFor.
std::string EventFileStem(const std::string& folder, const std::string& cameraId, long long firstFrame);

}  // namespace weapon_detect
