// The module as a host loads it: plain exported symbols, Create and Release.
#include <dlfcn.h>

#include <memory>

#include <gtest/gtest.h>

#include "support/detector_access.h"

namespace {
struct Closer {
    void operator()(void* handle) const { dlclose(handle); }
};
}  // namespace

TEST(ModuleTest, CreateAndReleaseAreFoundUnderTheirPlainNames) {
    std::unique_ptr<void, Closer> module(dlopen(ZRV_SCRIPTED_MODULE, RTLD_NOW | RTLD_LOCAL));
    ASSERT_NE(module, nullptr) << dlerror();
    using CreateFn = IZRVCustomClass* (*)();
    using ReleaseFn = void (*)(IZRVCustomClass*);
    auto create = reinterpret_cast<CreateFn>(dlsym(module.get(), "Create"));
    auto release = reinterpret_cast<ReleaseFn>(dlsym(module.get(), "Release"));
    ASSERT_NE(create, nullptr);
    ASSERT_NE(release, nullptr);

    IZRVCustomClass* detector = create();
    ASSERT_NE(detector, nullptr);
    ZRVCustomWDTestAccess access(*static_cast<ZRVCustomWD*>(detector));
    ExpectConstructedState(access);
    // An uninitialised detector turns frames away.
    EXPECT_TRUE(detector->RunInference(cv::Mat(100, 100, CV_8UC3, cv::Scalar::all(0))).empty());
    release(detector);  // AddressSanitizer reports a leak or a bad free here
    release(nullptr);
}
