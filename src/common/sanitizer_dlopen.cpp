// Linked into executables of the sanitizer builds only. The threading library under the
// inference runtime loads an optional topology helper (tbbbind, over hwloc) with
// RTLD_DEEPBIND, which the sanitizer runtimes refuse outright: they abort the process, as a
// deep-bound library would bypass their interceptors. Loaded without the flag, the helper
// allocates its binding tables for the life of the process and never frees them, which the
// leak checker reports on every exit. So here the helper is not loaded at all: the threading
// library then runs without pinning threads to NUMA nodes or core types, as it does on any
// machine that lacks the helper. Any other library loads as asked, without RTLD_DEEPBIND.
#include <dlfcn.h>

#include <cstring>

extern "C" __attribute__((visibility("default"))) void* dlopen(const char* file, int mode) {
    using Dlopen = void* (*)(const char*, int);
    static const auto next = reinterpret_cast<Dlopen>(dlsym(RTLD_NEXT, "dlopen"));
    if (file && std::strstr(file, "libtbbbind")) return nullptr;
    return next(file, mode & ~RTLD_DEEPBIND);
}
