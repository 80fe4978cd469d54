// An outside host program built against the installed package. Built twice: loading the
// module with dlopen (headers only), and linked against the module with the setter
// declared out of line, as hosts built against the original interface description are.
// Usage: host MODULE MODEL-FOLDER
#include <cstdio>
#include <string>

#include <opencv2/imgproc.hpp>

#include "zrv/ZRVCustomClass.h"

#if defined(CONSUMER_LINKED)
static IZRVCustomClass* (*const create)() = Create;
static void (*const release)(IZRVCustomClass*) = Release;
#else
#include <dlfcn.h>
static IZRVCustomClass* (*create)() = nullptr;
static void (*release)(IZRVCustomClass*) = nullptr;
#endif

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s MODULE MODEL-FOLDER\n", argv[0]);
        return 2;
    }
#if !defined(CONSUMER_LINKED)
    void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        std::fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    create = reinterpret_cast<IZRVCustomClass* (*)()>(dlsym(module, "Create"));
    release = reinterpret_cast<void (*)(IZRVCustomClass*)>(dlsym(module, "Release"));
    if (!create || !release) return 1;
#endif
    IZRVCustomClass* detector = create();
    detector->SetLoadEngineOnCreate(true);
    std::string labels;
    if (!detector->Initialize(argv[2], 0.5f, labels)) {
        std::fprintf(stderr, "cannot load the models from %s\n", argv[2]);
        return 1;
    }
    // A frame of the demo kind: a teal figure holding a magenta object.
    cv::Mat frame(720, 1280, CV_8UC3, cv::Scalar(80, 90, 100));
    cv::rectangle(frame, cv::Rect(600, 260, 70, 200), cv::Scalar(140, 140, 0), cv::FILLED);
    cv::rectangle(frame, cv::Rect(660, 340, 24, 12), cv::Scalar(255, 0, 255), cv::FILLED);
    const auto results = detector->RunInference(frame, "consumer");
    std::printf("labels: %s; %zu detections\n", labels.c_str(), results.size());
    const bool ok = labels.find("handgun") != std::string::npos && detector->Destroy();
    release(detector);
    return ok ? 0 : 1;
}
