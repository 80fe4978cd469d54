#include "engine/openvino/compiled_models.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <sstream>
#include <tuple>

#include <openvino/core/preprocess/pre_post_process.hpp>
#include <openvino/runtime/core.hpp>
#include <openvino/runtime/properties.hpp>

#include "engine/backend.h"
#include "engine/openvino/openvino_messages.h"

namespace zrv::engine {
namespace {

std::atomic<int64_t> compilations{0};

// What tells one compiled model from another: the file (by its canonical path, so that two
// spellings of one path share), the input size, the threads and the precision.
using Key = std::tuple<std::string, int, int, int, EnginePrecision>;

// Which version of the file was compiled: a file rewritten on disk differs in one of these.
struct FileStamp {
    std::uintmax_t size = 0;
    int64_t modified = 0;  // in the file clock's ticks
    bool operator==(const FileStamp& o) const { return size == o.size && modified == o.modified; }
};

// One entry per key: a rewritten file replaces the entry of its earlier version, whose
// network lives on with the instances that still hold it.
struct Entry {
    FileStamp stamp;
    std::weak_ptr<const SharedCompiledModel> model;
};

struct Cache {
    std::mutex mutex;
    std::map<Key, Entry> models;

    // Drops the entries whose network every holder has released. Under `mutex`.
    void Sweep() {
        for (auto it = models.begin(); it != models.end();) {
            it = it->second.model.expired() ? models.erase(it) : std::next(it);
        }
    }
};

Cache& ProcessCache() {
    static Cache cache;
    return cache;
}

ov::Core& ProcessCore() {
    // One runtime per process: it owns the CPU plug-in and its thread pool.
    static ov::Core core;
    return core;
}

// Adds the conversion from our canvas (8-bit BGR, pixels interleaved) to what the network
// takes (RGB scaled to [0, 1], planar, in its own element type) to the graph itself, where
// the runtime fuses it into the first layer; the detection output always comes as 32-bit
// floats.
std::shared_ptr<ov::Model> WithPreprocessing(const std::shared_ptr<ov::Model>& model, size_t output) {
    ov::preprocess::PrePostProcessor ppp(model);
    ppp.input().tensor().set_element_type(ov::element::u8).set_layout("NHWC").set_color_format(
        ov::preprocess::ColorFormat::BGR);
    ppp.input().preprocess().convert_element_type(ov::element::f32).convert_color(
        ov::preprocess::ColorFormat::RGB).scale(255.0f);
    ppp.input().model().set_layout("NCHW");
    ppp.output(output).tensor().set_element_type(ov::element::f32);
    return ppp.build();
}

// The names the load line uses for the arithmetic of a compiled model.
std::string PrecisionName(const ov::element::Type& type) {
    if (type == ov::element::f32) return "f32";
    if (type == ov::element::bf16) return "bf16";
    if (type == ov::element::f16) return "f16";
    return type.get_type_name();
}

// The index of the output holding the detections, by the names and ranks of them all.
size_t PickDetectionOutput(const ov::Model& model) {
    std::vector<std::string> names;
    std::vector<int64_t> ranks;
    for (const ov::Output<const ov::Node>& output : model.outputs()) {
        names.push_back(output.get_names().count("output0") ? "output0" : output.get_any_name());
        const ov::Rank rank = output.get_partial_shape().rank();
        ranks.push_back(rank.is_static() ? rank.get_length() : -1);
    }
    return DetectionOutputIndex(names, ranks);
}

std::string ShapeText(const ov::PartialShape& shape) {
    std::ostringstream text;
    text << shape;
    return text.str();
}

}  // namespace

namespace {

constexpr long kMaxEngineThreads = 1024;

// A value from the environment as a line may show it: control characters (a line break
// would forge a line) as '?', and at most 40 characters.
std::string Shown(const std::string& value) {
    std::string shown = value.substr(0, 40);
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    return shown + (value.size() > 40 ? "..." : "");
}

struct EngineSettings {
    int threads = 0;  // 0: every physical core
    EnginePrecision precision = kDefaultEnginePrecision;
    std::string error;  // the values that cannot be used, in one line; empty when all can
};

EngineSettings ReadEngineSettings() {
    EngineSettings settings;
    std::string errors;
    // Unset and empty both mean the default.
    if (const char* text = std::getenv("ZRV_ENGINE_THREADS"); text && *text) {
        const std::string value = text;
        const bool digits = value.size() <= 9 && value.find_first_not_of("0123456789") == std::string::npos;
        const long threads = digits ? std::strtol(text, nullptr, 10) : 0;
        if (threads >= 1 && threads <= kMaxEngineThreads) {
            settings.threads = static_cast<int>(threads);
        } else {
            errors = "ZRV_ENGINE_THREADS is '" + Shown(value) + "'; it takes a number of threads from 1 to " +
                     std::to_string(kMaxEngineThreads) + ", or stays unset for every physical core";
        }
    }
    if (const char* text = std::getenv("ZRV_ENGINE_PRECISION"); text && *text) {
        const std::string value = text;
        if (!ParseEnginePrecision(value, settings.precision)) {
            errors += (errors.empty() ? "" : "; ") + std::string("ZRV_ENGINE_PRECISION is '") + Shown(value) +
                      "'; it takes " + kEnginePrecisionValues;
        }
    }
    settings.error = errors;
    return settings;
}

const EngineSettings& ProcessEngineSettings() {
    static const EngineSettings settings = ReadEngineSettings();
    return settings;
}

}  // namespace

bool EngineSettingsUsable(std::string& why) {
    if (ProcessEngineSettings().error.empty()) return true;
    why = ProcessEngineSettings().error;
    return false;
}

int EngineThreads() { return ProcessEngineSettings().threads; }

EnginePrecision EngineSettingPrecision() { return ProcessEngineSettings().precision; }

bool ParseEnginePrecision(const std::string& text, EnginePrecision& precision) {
    static const std::pair<const char*, EnginePrecision> names[] = {{"f32", EnginePrecision::F32},
                                                                    {"bf16", EnginePrecision::BF16},
                                                                    {"f16", EnginePrecision::F16},
                                                                    {"auto", EnginePrecision::Auto}};
    for (const auto& [name, value] : names) {
        if (text == name) {
            precision = value;
            return true;
        }
    }
    return false;
}

const char* EnginePrecisionName(EnginePrecision precision) {
    switch (precision) {
        case EnginePrecision::F32: return "f32";
        case EnginePrecision::BF16: return "bf16";
        case EnginePrecision::F16: return "f16";
        case EnginePrecision::Auto: break;
    }
    return "auto";
}

void AddPrecisionHint(EnginePrecision precision, ov::AnyMap& config) {
    switch (precision) {
        case EnginePrecision::F32: config.emplace(ov::hint::inference_precision(ov::element::f32)); break;
        case EnginePrecision::BF16: config.emplace(ov::hint::inference_precision(ov::element::bf16)); break;
        case EnginePrecision::F16: config.emplace(ov::hint::inference_precision(ov::element::f16)); break;
        case EnginePrecision::Auto: break;  // the runtime's own choice for this CPU
    }
}

int64_t CompiledModelCount() { return compilations.load(); }

size_t CompiledModelCacheEntries() {
    Cache& cache = ProcessCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    return cache.models.size();
}

std::shared_ptr<const SharedCompiledModel> AcquireCompiledModel(const std::string& onnxPath,
                                                               const OnnxGraphFacts& facts,
                                                               cv::Size input, std::string& why) {
    if (!EngineSettingsUsable(why)) return nullptr;
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path canonical = fs::canonical(onnxPath, error);
    const std::uintmax_t size = error ? 0 : fs::file_size(canonical, error);
    const auto modified = error ? fs::file_time_type() : fs::last_write_time(canonical, error);
    if (error) {
        why = "cannot read the file: " + error.message();
        return nullptr;
    }
    const FileStamp stamp{size, static_cast<int64_t>(modified.time_since_epoch().count())};
    const Key key{canonical.string(), input.width, input.height, EngineThreads(), EngineSettingPrecision()};
    Cache& cache = ProcessCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    cache.Sweep();
    if (const auto found = cache.models.find(key); found != cache.models.end() && found->second.stamp == stamp) {
        if (auto shared = found->second.model.lock()) return shared;
    }

    auto made = std::make_shared<SharedCompiledModel>();
    try {
        ov::Core& core = ProcessCore();
        std::shared_ptr<ov::Model> model = core.read_model(onnxPath);
        if (model->inputs().size() != 1) {
            why = "the graph has " + std::to_string(model->inputs().size()) +
                  " inputs; export a detector with one image input [1, 3, H, W]";
            return nullptr;
        }
        const ov::PartialShape declared = model->input().get_partial_shape();
        const ov::PartialShape wanted{1, 3, input.height, input.width};
        if (!declared.compatible(wanted)) {
            why = "the input '" + facts.input.name + "' is " + ShapeText(declared) +
                  "; an image input [1, 3, H, W] is expected";
            return nullptr;
        }
        try {
            model->reshape(wanted);
        } catch (const std::exception& e) {
            why = "the graph cannot run at " + std::to_string(input.width) + " x " + std::to_string(input.height) +
                  ": " + OpenVinoReason(e.what()) + " (export with a fixed input size)";
            return nullptr;
        }
        made->outputIndex = PickDetectionOutput(*model);
        model = WithPreprocessing(model, made->outputIndex);
        const ov::PartialShape outputShape = model->output(made->outputIndex).get_partial_shape();
        if (outputShape.rank().is_static()) {
            for (const ov::Dimension& d : outputShape) made->outputShape.push_back(d.is_static() ? d.get_length() : -1);
        }
        ov::AnyMap config{ov::hint::performance_mode(ov::hint::PerformanceMode::LATENCY),
                          // A plug-in shares the host's cores: leave thread placement to the system.
                          ov::hint::enable_cpu_pinning(false)};
        AddPrecisionHint(EngineSettingPrecision(), config);
        if (EngineThreads() > 0) config.emplace(ov::inference_num_threads(EngineThreads()));
        made->compiled = core.compile_model(model, "CPU", config);
        made->precision = PrecisionName(made->compiled.get_property(ov::hint::inference_precision));
        ++compilations;
    } catch (const std::exception& e) {
        why = OpenVinoReason(e.what());
        if (why.find("No conversion rule found") != std::string::npos) {
            why += " (export with the standard ONNX operators only, no custom domains)";
        }
        return nullptr;
    }
    // Only a network that compiled is entered; it replaces an earlier version of the file.
    cache.models[key] = Entry{stamp, made};
    return made;
}

}  // namespace zrv::engine
