#include "loader/plugin_loader.h"

#include <dlfcn.h>

#include <stdexcept>

namespace zrv {

PluginModule::PluginModule(const std::string& path) : path_(path) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* reason = dlerror();
        throw std::runtime_error("cannot load the module " + path + ": " + (reason ? reason : "unknown error"));
    }
    create_ = reinterpret_cast<IZRVCustomClass* (*)()>(dlsym(handle_, "Create"));
    release_ = reinterpret_cast<void (*)(IZRVCustomClass*)>(dlsym(handle_, "Release"));
    setConsoleSink_ = reinterpret_cast<void (*)(ZRVConsoleSink, void*)>(dlsym(handle_, "SetConsoleSink"));
    if (!create_ || !release_) {
        dlclose(handle_);
        handle_ = nullptr;
        throw std::runtime_error("the module " + path + " does not export " +
                                 (create_ ? "Release" : "Create"));
    }
}

PluginModule::~PluginModule() {
    if (setConsoleSink_) setConsoleSink_(nullptr, nullptr);
    if (handle_) dlclose(handle_);
}

PluginModule::Detector PluginModule::NewDetector() const { return Detector(create_(), release_); }

bool PluginModule::RouteConsole(ZRVConsoleSink sink, void* context) const {
    if (!setConsoleSink_) return false;
    setConsoleSink_(sink, context);
    return true;
}

}  // namespace zrv
