#include "detector/console.h"

#include <iostream>
#include <mutex>

#include "zrv/ZRVCustomClass.h"
#include "zrv/ZRVLIB.h"

// Optional in an engine: the detector still serves one built without it (null here).
#if defined(__ELF__)
extern "C" __attribute__((weak)) void ZRVLIB_SetMessageSink(ZRVLIBMessageSink sink, void* context);
#endif

namespace {
using SetMessageSink = void (*)(ZRVLIBMessageSink, void*);
SetMessageSink EngineMessageSinkSetter() { return &ZRVLIB_SetMessageSink; }
}  // namespace

namespace zrv::detector {
namespace {
// Module-wide: one sink serves every detector of the process.
std::mutex g_sinkMutex;
ZRVConsoleSink g_sink = nullptr;
void* g_sinkContext = nullptr;

void EngineLineToConsole(const char* line, void* /*context*/) { ConsoleLine(ConsoleStream::Error, line); }

// Installed once; uninstalled when the module is unloaded, so the engine never calls
// into a module that is gone.
struct EngineLineRoute {
    EngineLineRoute() {
        if (const SetMessageSink set = EngineMessageSinkSetter()) set(&EngineLineToConsole, nullptr);
    }
    ~EngineLineRoute() {
        if (const SetMessageSink set = EngineMessageSinkSetter()) set(nullptr, nullptr);
    }
    EngineLineRoute(const EngineLineRoute&) = delete;
    EngineLineRoute& operator=(const EngineLineRoute&) = delete;
};
}  // namespace

void ConsoleLine(ConsoleStream stream, const char* line) {
    std::lock_guard<std::mutex> lock(g_sinkMutex);
    if (g_sink) {
        g_sink(static_cast<int>(stream), line, g_sinkContext);
        return;
    }
    (stream == ConsoleStream::Error ? std::cerr : std::cout) << line << std::endl;
}

void RouteEngineLinesToConsole() { static const EngineLineRoute route; }

}  // namespace zrv::detector

extern "C" void SetConsoleSink(ZRVConsoleSink sink, void* context) {
    std::lock_guard<std::mutex> lock(zrv::detector::g_sinkMutex);
    zrv::detector::g_sink = sink;
    zrv::detector::g_sinkContext = context;
}
