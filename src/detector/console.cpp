#include "detector/console.h"

#include <condition_variable>
#include <cstdint>
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
// Sink calls under way, counted by the parity of the sink's generation (each SetConsoleSink
// starts one), so that SetConsoleSink waits for the calls of the sink it replaced only.
std::uint64_t g_sinkGeneration = 0;
int g_sinkCalls[2] = {0, 0};
std::condition_variable g_sinkCallEnded;
// Sink calls under way on this thread.
thread_local int t_sinkCalls = 0;

// The outermost ConsoleHold of this thread, or null.
thread_local ConsoleHold* t_hold = nullptr;

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
    if (ConsoleHold* hold = t_hold) {
        try {
            hold->lines_.emplace_back(stream, line);
            return;
        } catch (...) {
            // Out of memory: printed now rather than lost.
        }
    }
    ZRVConsoleSink sink = nullptr;
    void* context = nullptr;
    std::uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(g_sinkMutex);
        if (!g_sink) {
            // Under the lock, so that lines of several threads come out whole.
            (stream == ConsoleStream::Error ? std::cerr : std::cout) << line << std::endl;
            return;
        }
        sink = g_sink;
        context = g_sinkContext;
        generation = g_sinkGeneration;
        ++g_sinkCalls[generation & 1];
    }
    struct CallEnds {
        std::uint64_t generation;
        ~CallEnds() {
            --t_sinkCalls;
            std::lock_guard<std::mutex> lock(g_sinkMutex);
            if (--g_sinkCalls[generation & 1] == 0) g_sinkCallEnded.notify_all();
        }
    } ends{generation};
    ++t_sinkCalls;
    // Outside the lock: the sink may print through this function again (a call back into
    // a detector that prints).
    sink(static_cast<int>(stream), line, context);
}

void RouteEngineLinesToConsole() { static const EngineLineRoute route; }

ConsoleHold::ConsoleHold() : outermost_(t_hold == nullptr) {
    if (outermost_) t_hold = this;
}

ConsoleHold::~ConsoleHold() {
    if (!outermost_) return;
    t_hold = nullptr;  // a call back from the sink holds its own lines
    try {
        for (const auto& [stream, line] : lines_) ConsoleLine(stream, line.c_str());
    } catch (...) {
        // A destructor lets nothing through; a sink has no way to fail.
    }
}

}  // namespace zrv::detector

extern "C" void SetConsoleSink(ZRVConsoleSink sink, void* context) {
    using namespace zrv::detector;
    std::unique_lock<std::mutex> lock(g_sinkMutex);
    g_sink = sink;
    g_sinkContext = context;
    const std::uint64_t replaced = g_sinkGeneration++;
    // The replaced sink is not called once this returns (its context may be freed). Called
    // from within a sink it returns at once: waiting there would wait for itself.
    if (t_sinkCalls == 0) {
        g_sinkCallEnded.wait(lock, [replaced] { return g_sinkCalls[replaced & 1] == 0; });
    }
}
