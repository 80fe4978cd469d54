// Linked into executables of the sanitizer builds only. The threading library under the
// inference runtime loads its topology helper with RTLD_DEEPBIND, which the sanitizer
// runtimes refuse outright (they abort the process: a deep-bound library would bypass their
// interceptors). Loading it without the flag costs only the isolation the flag buys, which
// a test process does not need: the helper's symbols do not clash with anything here.
#include <dlfcn.h>

extern "C" __attribute__((visibility("default"))) void* dlopen(const char* file, int mode) {
    using Dlopen = void* (*)(const char*, int);
    static const auto next = reinterpret_cast<Dlopen>(dlsym(RTLD_NEXT, "dlopen"));
    return next(file, mode & ~RTLD_DEEPBIND);
}
