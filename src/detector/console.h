// The detector's console lines for hosts. Every line goes through ConsoleLine, which hands
// it to the sink a host installed with SetConsoleSink, or else writes it on the standard
// stream with a flushing end of line.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace zrv::detector {

enum class ConsoleStream { Output = 1, Error = 2 };

// Prints one line, or holds it while a ConsoleHold is alive on this thread.
void ConsoleLine(ConsoleStream stream, const char* line);

// Makes the engine's own lines (why a load failed) console lines of the error stream, so
// that they reach a host's sink too. Idempotent; called before the first load.
void RouteEngineLinesToConsole();

// Alive for the whole of a detector operation that may print (under the detector's lock):
// the lines printed on this thread meanwhile, the engine's included, are held and printed
// in order when the outermost hold of the thread ends. A sink that calls back into the
// detector therefore finds it between operations, never halfway through one (an engine
// released under a load, a frame's lists emptied under the frame). Holds nothing and
// allocates nothing while no line is printed.
class ConsoleHold {
public:
    ConsoleHold();
    ~ConsoleHold();
    ConsoleHold(const ConsoleHold&) = delete;
    ConsoleHold& operator=(const ConsoleHold&) = delete;

private:
    friend void ConsoleLine(ConsoleStream stream, const char* line);
    bool outermost_;
    std::vector<std::pair<ConsoleStream, std::string>> lines_;  // outermost only
};

}  // namespace zrv::detector
