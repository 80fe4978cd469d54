// The reader of an ONNX graph's input shape on arbitrary bytes: never reads out of bounds,
// and an accepted shape has sane axes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/onnx_graph_facts.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zrv::engine::OnnxInputShape shape;
    std::string why;
    const bool ok = zrv::engine::ParseOnnxInputShape(std::string(reinterpret_cast<const char*>(data), size), shape, why);
    if (!ok && why.empty()) std::abort();
    for (int64_t d : shape.dims) {
        if (d == 0 || d < -1) std::abort();
    }
    return 0;
}
