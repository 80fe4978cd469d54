// The model folder: <folder>/<model name>.onnx beside a class file with one class name
// per line.
#pragma once

#include <string>
#include <vector>

namespace zrv::engine {

struct ModelFiles {
    std::string onnxPath;
    std::string classPath;
};

// Locates the two files; false with a one-line reason when the folder or a file is missing.
bool LocateModelFiles(const std::string& folder, const std::string& modelName,
                      const std::string& classFile, ModelFiles& files, std::string& why);

// Reads the class names (blank lines and surrounding white space ignored); false with a
// reason when the file cannot be read or names no class.
bool ReadClassNames(const std::string& path, std::vector<std::string>& names, std::string& why);
// The same from the file's text; `path` only names the file in `why`. A leading UTF-8
// byte-order mark is dropped; a name over 256 bytes or more than 100000 classes refuse the
// file, naming the line.
bool ParseClassNames(const std::string& text, const std::string& path, std::vector<std::string>& names,
                     std::string& why);

// The classes for a line: "1 class (handgun)", "5 classes (a, b, c, d, …)" (control
// characters shown as '?').
std::string ClassSummary(const std::vector<std::string>& names);

// The label map handed back to the caller: one "<id> <name>" line per class.
std::string FormatLabelMap(const std::vector<std::string>& names);

}  // namespace zrv::engine
