// Compiled OpenVINO models, one per model file, input size and thread setting per process,
// shared by every engine instance that loads them: sixteen cameras on one detector hold one
// compiled network and sixteen inference requests.
//
// Threads: Acquire may be called from any thread; a compile runs under one process-wide
// lock, so two instances loading the same file at once compile it once. A SharedCompiledModel
// is immutable once made; inference requests made from it are per instance.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <openvino/runtime/compiled_model.hpp>

#include "engine/onnx_graph_facts.h"

namespace zrv::engine {

struct SharedCompiledModel {
    // Mutable only because making an inference request is a non-const call; it is
    // thread-safe and leaves the compiled model unchanged.
    mutable ov::CompiledModel compiled;
    std::vector<int64_t> outputShape;  // of the detection output; -1 where open until the model runs
    size_t outputIndex = 0;            // which output holds the detections (DetectionOutputIndex)
    std::string precision;             // what the compiled model computes in: "f32", "bf16", "f16"
};

// The compiled model for `onnxPath` at `input`, compiled now or shared with an earlier
// caller that still holds it. Null with one line in `why` when OpenVINO cannot read,
// reshape or compile it; nothing of a failure is kept. A file changed on disk (size or
// modification time) is compiled anew and replaces the cache's entry for that
// file; the earlier network stays with whoever holds it. Entries whose network nobody holds
// any more are dropped at every call, so the cache holds one entry per network alive.
std::shared_ptr<const SharedCompiledModel> AcquireCompiledModel(const std::string& onnxPath,
                                                               const OnnxGraphFacts& facts,
                                                               cv::Size input, std::string& why);

// How many models this process has compiled, for the tests that check the sharing.
int64_t CompiledModelCount();
// How many entries the cache holds now (released ones included until the next
// AcquireCompiledModel), for the tests that check it does not grow.
size_t CompiledModelCacheEntries();

// The arithmetic inside the network: 32-bit floats, bfloat16 or 16-bit floats (the runtime
// keeps f32 where the CPU cannot run the one asked for; a compiled model tells what it runs),
// or what the runtime chooses for the CPU (bfloat16 where the CPU has a bfloat16 unit, else
// f32).
enum class EnginePrecision { F32, BF16, F16, Auto };
inline constexpr EnginePrecision kDefaultEnginePrecision = EnginePrecision::F32;
// For the lines that refuse a value: what ZRV_ENGINE_PRECISION (and a host's option passed
// through it) takes.
inline constexpr const char* kEnginePrecisionValues =
    "f32 (32-bit floats), bf16 (bfloat16), f16 (16-bit floats) or auto (the runtime chooses for "
    "the CPU); unset, f32";

// The engine's settings from the environment, read once per process, at the first load:
//   ZRV_ENGINE_THREADS    the CPU threads every compiled model uses, 1 to 1024; unset or
//                         empty, every physical core (OpenVINO's choice);
//   ZRV_ENGINE_PRECISION  f32, bf16, f16 or auto (EnginePrecision); unset or empty, the
//                         default, kDefaultEnginePrecision. bfloat16 keeps 8 bits of
//                         mantissa: box edges near 600 input pixels move in steps of 4 and
//                         scores in the third decimal (docs/benchmarks.md measures what that
//                         costs a real detector).
// Any other value is refused: EngineSettingsUsable is false with one line naming the
// variable, its value and the values it takes, and every load fails with that line
// (AcquireCompiledModel too).
bool EngineSettingsUsable(std::string& why);
// The threads (0 for every physical core) and the precision asked for; the defaults when a
// setting is refused.
int EngineThreads();
EnginePrecision EngineSettingPrecision();
// Reads "f32", "bf16", "f16" or "auto" (exactly); false for anything else.
bool ParseEnginePrecision(const std::string& text, EnginePrecision& precision);
const char* EnginePrecisionName(EnginePrecision precision);
// Adds the runtime's hint for `precision` to a compile configuration (none for Auto).
void AddPrecisionHint(EnginePrecision precision, ov::AnyMap& config);

}  // namespace zrv::engine
