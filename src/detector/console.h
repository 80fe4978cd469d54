// The detector's console lines for hosts. Every line goes through ConsoleLine, which hands
// it to the sink a host installed with SetConsoleSink, or else writes it on the standard
// stream with a flushing end of line.
#pragma once

namespace zrv::detector {

enum class ConsoleStream { Output = 1, Error = 2 };

void ConsoleLine(ConsoleStream stream, const char* line);

// Makes the engine's own lines (why a load failed) console lines of the error stream, so
// that they reach a host's sink too. Idempotent; called before the first load.
void RouteEngineLinesToConsole();

}  // namespace zrv::detector
