// Loads the plug-in module the way a host does: dlopen, then the plain `Create` and
// `Release` symbols (and `SetConsoleSink` where the module has it). The module stays loaded
// for the life of this object, which must outlive every detector it made. Used by the
// host program, the tests and the benchmarks.
#pragma once

#include <memory>
#include <string>

#include "zrv/ZRVCustomClass.h"

namespace zrv {

class PluginModule {
public:
    // Throws std::runtime_error naming what failed (the module or a symbol).
    explicit PluginModule(const std::string& path);
    ~PluginModule();
    PluginModule(const PluginModule&) = delete;
    PluginModule& operator=(const PluginModule&) = delete;

    using Detector = std::unique_ptr<IZRVCustomClass, void (*)(IZRVCustomClass*)>;
    // A new detector, freed through the module's Release.
    Detector NewDetector() const;
    // Routes the module's console lines to `sink`; false when the module cannot.
    bool RouteConsole(ZRVConsoleSink sink, void* context) const;

    const std::string& path() const { return path_; }

private:
    std::string path_;
    void* handle_ = nullptr;
    IZRVCustomClass* (*create_)() = nullptr;
    void (*release_)(IZRVCustomClass*) = nullptr;
    void (*setConsoleSink_)(ZRVConsoleSink, void*) = nullptr;
};

}  // namespace zrv
