#include "engine/onnx_graph_facts.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <string_view>

namespace zrv::engine {
namespace {

// Field numbers of the ONNX messages on the way to the input's dimensions.
constexpr uint32_t kModelGraph = 7;
constexpr uint32_t kModelOpsetImport = 8;
constexpr uint32_t kModelMetadata = 14;
constexpr uint32_t kOpsetDomain = 1;
constexpr uint32_t kOpsetVersion = 2;
constexpr uint32_t kEntryKey = 1;
constexpr uint32_t kEntryValue = 2;
constexpr uint32_t kGraphNode = 1;
constexpr uint32_t kGraphInitializer = 5;
constexpr uint32_t kGraphInput = 11;
constexpr uint32_t kGraphOutput = 12;
constexpr uint32_t kNodeInput = 1;
constexpr uint32_t kNodeName = 3;
constexpr uint32_t kNodeOpType = 4;
constexpr uint32_t kNodeAttribute = 5;
constexpr uint32_t kAttributeTensor = 5;
constexpr uint32_t kTensorDataType = 2;
constexpr uint32_t kTensorName = 8;
constexpr uint32_t kValueInfoName = 1;
constexpr uint32_t kValueInfoType = 2;
constexpr uint32_t kTypeTensor = 1;
constexpr uint32_t kTensorTypeElement = 1;
constexpr uint32_t kTensorTypeShape = 2;
constexpr int kFloat16 = 10;
constexpr uint32_t kShapeDim = 1;
constexpr uint32_t kDimValue = 1;

enum WireType : uint32_t { kVarint = 0, kFixed64 = 1, kBytes = 2, kFixed32 = 5 };

// A forward-only reader over one serialised message.
class Reader {
public:
    explicit Reader(std::string_view bytes) : data_(bytes) {}

    bool done() const { return pos_ >= data_.size(); }
    bool failed() const { return failed_; }

    bool Varint(uint64_t& value) {
        value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (pos_ >= data_.size()) return Fail();
            const auto byte = static_cast<uint8_t>(data_[pos_++]);
            value |= static_cast<uint64_t>(byte & 0x7f) << shift;
            if (!(byte & 0x80)) return true;
        }
        return Fail();
    }

    // The next field's number and wire type; false at the end or on malformed bytes.
    bool Next(uint32_t& field, uint32_t& wire) {
        uint64_t key = 0;
        if (done() || !Varint(key)) return false;
        field = static_cast<uint32_t>(key >> 3);
        wire = static_cast<uint32_t>(key & 7);
        return field != 0 || Fail();
    }

    bool Bytes(std::string_view& value) {
        uint64_t length = 0;
        if (!Varint(length) || length > data_.size() - pos_) return Fail();
        value = data_.substr(pos_, static_cast<size_t>(length));
        pos_ += static_cast<size_t>(length);
        return true;
    }

    bool Skip(uint32_t wire) {
        uint64_t ignored = 0;
        std::string_view bytes;
        switch (wire) {
            case kVarint: return Varint(ignored);
            case kFixed64: return Advance(8);
            case kFixed32: return Advance(4);
            case kBytes: return Bytes(bytes);
            default: return Fail();  // groups are not used by ONNX
        }
    }

private:
    bool Advance(size_t n) {
        if (n > data_.size() - pos_) return Fail();
        pos_ += n;
        return true;
    }
    bool Fail() {
        failed_ = true;
        return false;
    }

    std::string_view data_;
    size_t pos_ = 0;
    bool failed_ = false;
};

// Reads every field of `message`, handing length-delimited ones with a wanted number to
// `onBytes` and varints to `onVarint`; false on malformed bytes.
template <typename OnBytes, typename OnVarint>
bool ForEachField(std::string_view message, OnBytes onBytes, OnVarint onVarint) {
    Reader reader(message);
    uint32_t field = 0, wire = 0;
    while (reader.Next(field, wire)) {
        if (wire == kBytes) {
            std::string_view bytes;
            if (!reader.Bytes(bytes) || !onBytes(field, bytes)) return false;
        } else if (wire == kVarint) {
            uint64_t value = 0;
            if (!reader.Varint(value)) return false;
            onVarint(field, value);
        } else if (!reader.Skip(wire)) {
            return false;
        }
    }
    return !reader.failed();
}

const auto kNoVarint = [](uint32_t, uint64_t) {};

// The string field `number` of a message, empty when absent.
bool StringField(std::string_view message, uint32_t number, std::string& value) {
    return ForEachField(message, [&](uint32_t field, std::string_view bytes) {
        if (field == number) value.assign(bytes);
        return true;
    }, kNoVarint);
}

bool ParseDims(std::string_view valueInfo, OnnxInputShape& shape) {
    auto onShape = [&](uint32_t field, std::string_view dim) {
        if (field != kShapeDim) return true;
        int64_t size = -1;
        const bool ok = ForEachField(dim, [](uint32_t, std::string_view) { return true; },
                                     [&](uint32_t f, uint64_t v) {
                                         if (f == kDimValue && static_cast<int64_t>(v) > 0) size = static_cast<int64_t>(v);
                                     });
        shape.dims.push_back(size);
        return ok;
    };
    auto onTensor = [&](uint32_t field, std::string_view bytes) {
        return field != kTensorTypeShape || ForEachField(bytes, onShape, kNoVarint);
    };
    auto onElement = [&](uint32_t field, uint64_t value) {
        if (field == kTensorTypeElement && value < 64) shape.elementType = static_cast<int>(value);
    };
    auto onType = [&](uint32_t field, std::string_view bytes) {
        return field != kTypeTensor || ForEachField(bytes, onTensor, onElement);
    };
    return ForEachField(valueInfo, [&](uint32_t field, std::string_view bytes) {
        if (field == kValueInfoName) shape.name.assign(bytes);
        return field != kValueInfoType || ForEachField(bytes, onType, kNoVarint);
    }, kNoVarint);
}

// The data type of a serialised TensorProto.
bool TensorDataType(std::string_view tensor, uint64_t& type) {
    type = 0;
    return ForEachField(tensor, [](uint32_t, std::string_view) { return true; },
                        [&](uint32_t field, uint64_t value) {
                            if (field == kTensorDataType) type = value;
                        });
}

// "[640, 640]", "[384, 640]" or "640" as height and width; false for anything else.
bool ParseImageSize(const std::string& text, int64_t& height, int64_t& width) {
    std::vector<int64_t> numbers;
    int64_t value = -1;
    for (char c : text + " ") {
        if (std::isdigit(static_cast<unsigned char>(c))) {
            value = (value < 0 ? 0 : value) * 10 + (c - '0');
            if (value > 100000) return false;
        } else if (value >= 0) {
            numbers.push_back(value);
            value = -1;
        }
    }
    if (numbers.size() == 1) numbers.push_back(numbers[0]);
    if (numbers.size() != 2 || numbers[0] <= 0 || numbers[1] <= 0) return false;
    height = numbers[0];
    width = numbers[1];
    return true;
}

// Whole non-negative numbers of a list like "[17, 3]" or of a single number; false when
// anything else is in the text.
bool ParseNumberList(const std::string& text, std::vector<int64_t>& numbers) {
    numbers.clear();
    int64_t value = -1;
    for (char c : text + " ") {
        if (std::isdigit(static_cast<unsigned char>(c))) {
            value = (value < 0 ? 0 : value) * 10 + (c - '0');
            if (value > 1000000) return false;
        } else if (c == '[' || c == ']' || c == '(' || c == ')' || c == ',' || c == ' ') {
            if (value >= 0) numbers.push_back(value);
            value = -1;
        } else {
            return false;
        }
    }
    return !numbers.empty();
}

// A Python string literal at `pos` ('...' or "...", with backslash escapes); advances past it.
bool ParseQuoted(const std::string& text, size_t& pos, std::string& value) {
    value.clear();
    if (pos >= text.size() || (text[pos] != '\'' && text[pos] != '"')) return false;
    const char quote = text[pos++];
    while (pos < text.size() && text[pos] != quote) {
        if (text[pos] == '\\') {
            if (++pos >= text.size()) return false;
            const char e = text[pos];
            value += e == 'n' ? '\n' : e == 't' ? '\t' : e;
        } else {
            value += text[pos];
        }
        ++pos;
    }
    if (pos >= text.size()) return false;
    ++pos;
    return true;
}

void SkipSpaces(const std::string& text, size_t& pos) {
    while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
}

}  // namespace

bool ParseMetadataNames(const std::string& text, std::vector<std::string>& names) {
    names.clear();
    size_t pos = 0;
    SkipSpaces(text, pos);
    if (pos >= text.size() || (text[pos] != '{' && text[pos] != '[')) return false;
    const bool dict = text[pos] == '{';
    const char close = dict ? '}' : ']';
    ++pos;
    for (;;) {
        SkipSpaces(text, pos);
        if (pos < text.size() && text[pos] == close) break;  // empty, or a trailing comma
        if (dict) {
            // The ids run 0, 1, 2 ... in order, as the training tools write them.
            size_t end = pos;
            while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
            if (end == pos || end - pos > 7 || std::stoul(text.substr(pos, end - pos)) != names.size()) {
                names.clear();
                return false;
            }
            pos = end;
            SkipSpaces(text, pos);
            if (pos >= text.size() || text[pos] != ':') {
                names.clear();
                return false;
            }
            ++pos;
            SkipSpaces(text, pos);
        }
        std::string name;
        if (!ParseQuoted(text, pos, name)) {
            names.clear();
            return false;
        }
        names.push_back(std::move(name));
        SkipSpaces(text, pos);
        if (pos < text.size() && text[pos] == ',') {
            ++pos;
            continue;
        }
        if (pos < text.size() && text[pos] == close) break;
        names.clear();
        return false;
    }
    ++pos;
    SkipSpaces(text, pos);
    if (pos != text.size()) names.clear();
    return !names.empty();
}

namespace {

bool ParseNode(std::string_view node, OnnxGraphFacts& facts) {
    std::string opType, name;
    int inputs = 0;
    bool secondInput = false;
    bool ok = ForEachField(node, [&](uint32_t field, std::string_view value) {
        if (field == kNodeInput) {
            if (inputs == 1 && !value.empty()) secondInput = true;
            ++inputs;
        } else if (field == kNodeOpType) {
            opType.assign(value);
        } else if (field == kNodeName) {
            name.assign(value);
        } else if (field == kNodeAttribute) {
            // A Constant's value: a float16 constant makes the graph a float16 one.
            return ForEachField(value, [&](uint32_t f, std::string_view tensor) {
                uint64_t type = 0;
                if (f != kAttributeTensor) return true;
                if (!TensorDataType(tensor, type)) return false;
                if (type == kFloat16) facts.float16 = true;
                return true;
            }, kNoVarint);
        }
        return true;
    }, kNoVarint);
    if (!ok) return false;
    if (opType == "Split" && secondInput) facts.splitWithSizes = true;
    facts.opTypes.insert(opType);
    facts.nodes.emplace_back(std::move(opType), std::move(name));
    return true;
}

}  // namespace

std::string OnnxGraphFacts::FirstNodeOf(const std::string& opType) const {
    for (const auto& [type, name] : nodes) {
        if (type == opType) return name.empty() ? "(unnamed)" : name;
    }
    return {};
}

namespace {

// The default domain's opset version, from the model's opset list; false when malformed.
bool ReadOpsets(const std::vector<std::string_view>& opsets, OnnxGraphFacts& facts) {
    for (std::string_view opset : opsets) {
        std::string domain;
        int64_t version = 0;
        const bool ok = ForEachField(opset, [&](uint32_t field, std::string_view value) {
            if (field == kOpsetDomain) domain.assign(value);
            return true;
        }, [&](uint32_t field, uint64_t value) {
            if (field == kOpsetVersion && value < 1000) version = static_cast<int64_t>(value);
        });
        if (!ok) return false;
        if (domain.empty() || domain == "ai.onnx") facts.opset = version;
    }
    return true;
}

// The image size the exporter recorded, if any (an unreadable one counts as none); false
// when an entry is malformed.
bool ReadMetadata(const std::vector<std::string_view>& metadata, OnnxGraphFacts& facts) {
    for (std::string_view entry : metadata) {
        std::string key, value;
        if (!StringField(entry, kEntryKey, key) || !StringField(entry, kEntryValue, value)) return false;
        if (key == "imgsz" && !ParseImageSize(value, facts.metadataHeight, facts.metadataWidth)) {
            facts.metadataHeight = facts.metadataWidth = 0;
        }
        std::vector<int64_t> numbers;
        if (key == "names") ParseMetadataNames(value, facts.metadataNames);
        if (key == "task") facts.metadataTask = value.substr(0, 40);
        if (key == "kpt_shape" && ParseNumberList(value, numbers) && numbers.size() == 2) {
            facts.metadataKeypoints = numbers;
        }
        if (key == "stride" && ParseNumberList(value, numbers) && numbers.size() == 1 && numbers[0] > 0) {
            facts.metadataStride = numbers[0];
        }
        for (const char* known : {"imgsz", "names", "task", "kpt_shape", "stride"}) {
            if (key == known) facts.hasMetadata = true;
        }
    }
    return true;
}

// The graph's nodes, outputs and float16 use into `facts`; its declared inputs and the
// names of its initializers for PickInput. False when malformed.
bool ReadGraph(std::string_view graph, OnnxGraphFacts& facts, std::set<std::string>& initializers,
               std::vector<std::string_view>& inputs) {
    return ForEachField(
        graph,
        [&](uint32_t field, std::string_view value) {
            if (field == kGraphInitializer) {
                std::string name;
                uint64_t type = 0;
                if (!StringField(value, kTensorName, name) || !TensorDataType(value, type)) return false;
                if (type == kFloat16) facts.float16 = true;
                initializers.insert(std::move(name));
            } else if (field == kGraphInput) {
                inputs.push_back(value);
            } else if (field == kGraphOutput) {
                ++facts.outputCount;
                facts.outputs.emplace_back();
                return ParseDims(value, facts.outputs.back());
            } else if (field == kGraphNode) {
                return ParseNode(value, facts);
            }
            return true;
        },
        kNoVarint);
}

// Older exports list the weights among the inputs too: the image input is the first
// input that is not an initializer. Counts the real inputs; false with `why` when an input
// is malformed or there is none.
bool PickInput(const std::vector<std::string_view>& inputs, const std::set<std::string>& initializers,
               OnnxGraphFacts& facts, std::string& why) {
    bool found = false;
    for (std::string_view input : inputs) {
        OnnxInputShape candidate;
        if (!ParseDims(input, candidate)) {
            why = "the ONNX graph's input is malformed";
            return false;
        }
        if (initializers.count(candidate.name)) continue;
        ++facts.inputCount;
        if (!found) facts.input = std::move(candidate);
        found = true;
    }
    if (!found) {
        why = "the ONNX graph declares no input";
        return false;
    }
    return true;
}

}  // namespace

bool ParseOnnxGraphFacts(const std::string& bytes, OnnxGraphFacts& facts, std::string& why) {
    facts = OnnxGraphFacts();
    std::string_view graph;
    std::vector<std::string_view> opsets, metadata;
    const bool modelOk = ForEachField(
        bytes,
        [&](uint32_t field, std::string_view value) {
            if (field == kModelGraph) graph = value;
            if (field == kModelOpsetImport) opsets.push_back(value);
            if (field == kModelMetadata) metadata.push_back(value);
            return true;
        },
        kNoVarint);
    if (!modelOk || graph.empty()) {
        why = "not an ONNX model, or a truncated one (no complete graph)";
        return false;
    }
    if (!ReadOpsets(opsets, facts)) {
        why = "the ONNX model's opset list is malformed";
        return false;
    }
    if (!ReadMetadata(metadata, facts)) {
        why = "the ONNX model's metadata is malformed";
        return false;
    }
    std::set<std::string> initializers;
    std::vector<std::string_view> inputs;
    if (!ReadGraph(graph, facts, initializers, inputs)) {
        why = "the ONNX graph is malformed (a truncated or corrupt file)";
        return false;
    }
    if (!PickInput(inputs, initializers, facts, why)) return false;
    if (facts.input.elementType == kFloat16) facts.float16 = true;
    return true;
}

bool ParseOnnxInputShape(const std::string& bytes, OnnxInputShape& shape, std::string& why) {
    OnnxGraphFacts facts;
    if (!ParseOnnxGraphFacts(bytes, facts, why)) return false;
    shape = std::move(facts.input);
    return true;
}

bool ReadOnnxGraphFacts(const std::string& path, OnnxGraphFacts& facts, std::string& why) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        why = "cannot open the file (not a regular file)";
        return false;
    }
    if (info.st_size > (int64_t{2} << 30)) {
        why = "the file is larger than 2 GiB, the limit of an ONNX file without external data";
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        why = "cannot open the file";
        return false;
    }
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad()) {
        why = "cannot read the file";
        return false;
    }
    return ParseOnnxGraphFacts(bytes, facts, why);
}

bool ReadOnnxInputShape(const std::string& path, OnnxInputShape& shape, std::string& why) {
    OnnxGraphFacts facts;
    if (!ReadOnnxGraphFacts(path, facts, why)) return false;
    shape = std::move(facts.input);
    return true;
}

}  // namespace zrv::engine
