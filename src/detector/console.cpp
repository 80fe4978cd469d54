#include "detector/console.h"

#include <iostream>
#include <mutex>

#include "zrv/ZRVCustomClass.h"

namespace zrv::detector {
namespace {
// Module-wide: one sink serves every detector of the process.
std::mutex g_sinkMutex;
ZRVConsoleSink g_sink = nullptr;
void* g_sinkContext = nullptr;
}  // namespace

void ConsoleLine(ConsoleStream stream, const char* line) {
    std::lock_guard<std::mutex> lock(g_sinkMutex);
    if (g_sink) {
        g_sink(static_cast<int>(stream), line, g_sinkContext);
        return;
    }
    (stream == ConsoleStream::Error ? std::cerr : std::cout) << line << std::endl;
}

}  // namespace zrv::detector

extern "C" void SetConsoleSink(ZRVConsoleSink sink, void* context) {
    std::lock_guard<std::mutex> lock(zrv::detector::g_sinkMutex);
    zrv::detector::g_sink = sink;
    zrv::detector::g_sinkContext = context;
}
