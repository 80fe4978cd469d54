// The files a run reads (inputs, image-sequence frames, ground truths, the site config,
// model and class files, the module), which no output of the run may replace. A file is
// known by its device and inode, so another spelling of its path, a symbolic link or a
// hard link to it is the same file.
#pragma once

#include <sys/types.h>

#include <mutex>
#include <set>
#include <string>
#include <utility>

namespace weapon_detect {

class ReadFiles {
public:
    // A file the run reads; a path that names nothing yet is ignored.
    void Add(const std::string& path);
    // Every file directly inside `folder` (a model folder).
    void AddFolder(const std::string& folder);
    // Every frame an image-sequence pattern such as "frames/%04d.png" names now.
    void AddSequence(const std::string& pattern);
    // The path under which the file `path` names (links followed) was added, or empty
    // when it is not a file the run reads.
    std::string Match(const std::string& path) const;

private:
    mutable std::mutex mutex_;
    std::set<std::pair<dev_t, ino_t>> ids_;
    std::set<std::pair<std::pair<dev_t, ino_t>, std::string>> named_;
};

// The process's one set, consulted by every output file before it is made.
ReadFiles& ProtectedFiles();

}  // namespace weapon_detect
