// Reading the text files a run is given (site config, ground truth, class files) without
// ever blocking or running out of memory: only regular files are read (a FIFO, a device
// such as /dev/zero or a socket is refused at once), up to a size and a line length.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

namespace weapon_detect {

// The file is not one to read; the message names it and says why.
struct UnreadableFile : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The whole text of `path`. Throws UnreadableFile when it cannot be opened, is not a
// regular file, is larger than `maxBytes`, or has a line longer than `maxLine` bytes
// (naming the line).
std::string ReadTextFile(const std::string& path, size_t maxBytes, size_t maxLine);

// Throws UnreadableFile unless `path` is a regular file (links followed) of at most
// `maxBytes`; for files read by others (the engine reads the class files).
void CheckRegularFile(const std::string& path, size_t maxBytes);

}  // namespace weapon_detect
