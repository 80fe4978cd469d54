// The console as a host that routes it sees it: a sink collecting every line a module prints
// with its stream, while the standard streams are captured (they should stay empty).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "loader/plugin_loader.h"

namespace zrv::test {

struct ConsoleLines {
    std::vector<std::pair<int, std::string>> seen;  // (stream: 1 output, 2 error; line)
};

extern "C" inline void CollectConsoleLine(int stream, const char* line, void* context) {
    static_cast<ConsoleLines*>(context)->seen.emplace_back(stream, line);
}

// Routes `module`'s console into `lines` and captures standard output and error until
// Captured(), which returns them.
class RoutedConsole {
public:
    explicit RoutedConsole(const zrv::PluginModule& module) : module_(module) {
        routed_ = module_.RouteConsole(CollectConsoleLine, &lines);
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
    }
    RoutedConsole(const RoutedConsole&) = delete;
    RoutedConsole& operator=(const RoutedConsole&) = delete;
    ~RoutedConsole() { module_.RouteConsole(nullptr, nullptr); }

    bool routed() const { return routed_; }
    // (standard output, standard error) since construction; call once.
    std::pair<std::string, std::string> Captured() {
        std::string out = ::testing::internal::GetCapturedStdout();
        return {out, ::testing::internal::GetCapturedStderr()};
    }

    ConsoleLines lines;

private:
    const zrv::PluginModule& module_;
    bool routed_ = false;
};

}  // namespace zrv::test
