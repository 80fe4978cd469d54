#include "module_loader.h"

#include <dlfcn.h>

#include <stdexcept>

namespace weapon_detect {

PluginModule::PluginModule(const std::string& path) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* reason = dlerror();
        throw std::runtime_error("cannot load the module " + path + ": " + (reason ? reason : "unknown error"));
    }
    create_ = reinterpret_cast<IZRVCustomClass* (*)()>(dlsym(handle_, "Create"));
    release_ = reinterpret_cast<void (*)(IZRVCustomClass*)>(dlsym(handle_, "Release"));
    if (!create_ || !release_) {
        dlclose(handle_);
        handle_ = nullptr;
        throw std::runtime_error("the module " + path + " does not export " +
                                 (create_ ? "Release" : "Create"));
    }
}

PluginModule::~PluginModule() {
    if (handle_) dlclose(handle_);
}

PluginModule::Detector PluginModule::NewDetector() const { return Detector(create_(), release_); }

}  // namespace weapon_detect
