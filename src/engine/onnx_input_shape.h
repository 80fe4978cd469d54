// Reads the declared shape of an ONNX model's image input straight from the file, without
// OpenCV: the graph's first input that is not an initializer. Only the few fields on the
// way are decoded; everything else is skipped by its length.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zrv::engine {

struct OnnxInputShape {
    std::string name;
    // One entry per axis: the fixed size, or -1 where the graph leaves it open (a named
    // dynamic axis or no value).
    std::vector<int64_t> dims;
};

// The input's shape from the serialised model `bytes`. False with a reason when the bytes
// are not a well-formed model or the graph declares no input; a graph that declares an
// input without a shape gives an empty `dims`.
bool ParseOnnxInputShape(const std::string& bytes, OnnxInputShape& shape, std::string& why);

// The same from a file.
bool ReadOnnxInputShape(const std::string& path, OnnxInputShape& shape, std::string& why);

}  // namespace zrv::engine
