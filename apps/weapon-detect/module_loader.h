// Loads the plug-in module the way a host does: dlopen, then the plain `Create` and
// `Release` symbols. The module stays loaded for the life of this object.
#pragma once

#include <memory>
#include <string>

#include "zrv/ZRVCustomClass.h"

namespace weapon_detect {

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

private:
    void* handle_ = nullptr;
    IZRVCustomClass* (*create_)() = nullptr;
    void (*release_)(IZRVCustomClass*) = nullptr;
};

}  // namespace weapon_detect
