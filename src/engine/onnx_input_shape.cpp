#include "engine/onnx_input_shape.h"

#include <fstream>
#include <iterator>
#include <set>
#include <string_view>

namespace zrv::engine {
namespace {

// Field numbers of the ONNX messages on the way to the input's dimensions.
constexpr uint32_t kModelGraph = 7;
constexpr uint32_t kGraphInitializer = 5;
constexpr uint32_t kGraphInput = 11;
constexpr uint32_t kTensorName = 8;
constexpr uint32_t kValueInfoName = 1;
constexpr uint32_t kValueInfoType = 2;
constexpr uint32_t kTypeTensor = 1;
constexpr uint32_t kTensorTypeShape = 2;
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
    auto onType = [&](uint32_t field, std::string_view bytes) {
        return field != kTypeTensor || ForEachField(bytes, onTensor, kNoVarint);
    };
    return ForEachField(valueInfo, [&](uint32_t field, std::string_view bytes) {
        if (field == kValueInfoName) shape.name.assign(bytes);
        return field != kValueInfoType || ForEachField(bytes, onType, kNoVarint);
    }, kNoVarint);
}

}  // namespace

bool ParseOnnxInputShape(const std::string& bytes, OnnxInputShape& shape, std::string& why) {
    shape = OnnxInputShape();
    std::string_view graph;
    const bool modelOk = ForEachField(bytes, [&](uint32_t field, std::string_view value) {
        if (field == kModelGraph) graph = value;
        return true;
    }, kNoVarint);
    if (!modelOk || graph.empty()) {
        why = "not an ONNX model (no graph)";
        return false;
    }
    // Older exports list the weights among the inputs too: the image input is the first
    // input that is not an initializer.
    std::set<std::string> initializers;
    std::vector<std::string_view> inputs;
    const bool graphOk = ForEachField(graph, [&](uint32_t field, std::string_view value) {
        if (field == kGraphInitializer) {
            std::string name;
            if (!StringField(value, kTensorName, name)) return false;
            initializers.insert(std::move(name));
        } else if (field == kGraphInput) {
            inputs.push_back(value);
        }
        return true;
    }, kNoVarint);
    if (!graphOk) {
        why = "the ONNX graph is malformed";
        return false;
    }
    for (std::string_view input : inputs) {
        OnnxInputShape candidate;
        if (!ParseDims(input, candidate)) {
            why = "the ONNX graph's input is malformed";
            return false;
        }
        if (!initializers.count(candidate.name)) {
            shape = std::move(candidate);
            return true;
        }
    }
    why = "the ONNX graph declares no input";
    return false;
}

bool ReadOnnxInputShape(const std::string& path, OnnxInputShape& shape, std::string& why) {
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
    return ParseOnnxInputShape(bytes, shape, why);
}

}  // namespace zrv::engine
