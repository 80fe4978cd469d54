// A console sink for tests: collects every line a module prints with its stream.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace zrv::test {

struct ConsoleLines {
    std::vector<std::pair<int, std::string>> seen;  // (stream: 1 output, 2 error; line)
};

// Install with SetConsoleSink / PluginModule::RouteConsole, `context` a ConsoleLines.
extern "C" inline void CollectConsoleLine(int stream, const char* line, void* context) {
    static_cast<ConsoleLines*>(context)->seen.emplace_back(stream, line);
}

}  // namespace zrv::test
