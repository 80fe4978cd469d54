// Facts about an ONNX model read straight from the file, before any runtime sees it: the
// image input's declared shape and element type, the opset, the export's recorded input
// size, and the few graph features that decide whether and how a backend can run it. Only
// the fields on the way are decoded; everything else is skipped by its length, so a
// truncated or corrupt file is told apart from one a runtime cannot run.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace zrv::engine {

struct OnnxInputShape {
    std::string name;
    // One entry per axis: the fixed size, or -1 where the graph leaves it open (a named
    // dynamic axis or no value).
    std::vector<int64_t> dims;
    // ONNX TensorProto data type of the input (1 float, 10 float16); 0 when not declared.
    int elementType = 0;
};

struct OnnxGraphFacts {
    OnnxInputShape input;  // the first input that is not an initializer
    int inputCount = 0;    // inputs that are not initializers
    int outputCount = 0;
    int64_t opset = 0;     // of the default domain; 0 when not declared
    // Input height and width the export recorded in its metadata ("imgsz": "[h, w]" or
    // "s"); 0 when absent or unreadable.
    int64_t metadataHeight = 0;
    int64_t metadataWidth = 0;
    // What the training tools write beside it, each empty (0) when absent or unreadable:
    std::vector<std::string> metadataNames;  // "names": "{0: 'person', 1: 'fall'}", in id order
    std::string metadataTask;                // "task": detect, pose, segment, obb, classify
    std::vector<int64_t> metadataKeypoints;  // "kpt_shape": "[17, 3]" (keypoints, values each)
    int64_t metadataStride = 0;              // "stride": the largest stride of the network
    // Whether any of those keys is present (read or not): a model without them is read by
    // its shapes alone.
    bool hasMetadata = false;
    // The graph's outputs in declaration order, each with its declared shape (like `input`).
    std::vector<OnnxInputShape> outputs;
    std::set<std::string> opTypes;  // of the main graph's nodes
    bool splitWithSizes = false;    // a Split taking its sizes as a second input (opset >= 13)
    bool float16 = false;           // a float16 input, weight or constant
    // The main graph's node with the op type asked for, for messages; empty when none.
    std::string FirstNodeOf(const std::string& opType) const;
    std::vector<std::pair<std::string, std::string>> nodes;  // (op type, node name)
};

// The class names of a "names" entry: a Python dict of ids 0..n-1 to quoted names, or a
// list of quoted names. False (`names` empty) for anything else.
bool ParseMetadataNames(const std::string& text, std::vector<std::string>& names);

// The facts from the serialised model `bytes`. False with a reason when the bytes are not
// a well-formed model or the graph declares no input; a graph that declares an input
// without a shape gives an empty `input.dims`.
bool ParseOnnxGraphFacts(const std::string& bytes, OnnxGraphFacts& facts, std::string& why);
bool ParseOnnxInputShape(const std::string& bytes, OnnxInputShape& shape, std::string& why);

// The same from a file, read only when it is a regular file of at most 2 GiB (the
// protobuf limit of an ONNX file without external data).
bool ReadOnnxGraphFacts(const std::string& path, OnnxGraphFacts& facts, std::string& why);
bool ReadOnnxInputShape(const std::string& path, OnnxInputShape& shape, std::string& why);

}  // namespace zrv::engine
