// Time spent in each engine operation, for the benchmarks. Compiled in only where
// ZRV_ENGINE_PROFILE is defined (a benchmark's own static copy of the engine); the shared
// library never has it.
#pragma once

#include <atomic>
#include <chrono>

namespace zrv::engine {

struct OperationTime {
    std::atomic<long long> calls{0};
    std::atomic<long long> nanoseconds{0};
    double seconds() const { return nanoseconds.load() * 1e-9; }
    void Reset() {
        calls = 0;
        nanoseconds = 0;
    }
};

struct EngineProfile {
    OperationTime weapon;  // RunInference of the weapon model ("train_last")
    OperationTime person;  // RunInference of the person model ("filter")
    OperationTime motion;  // DetectMovement
    void Reset() {
        weapon.Reset();
        person.Reset();
        motion.Reset();
    }
};

EngineProfile& Profile();

// Adds the time from construction to destruction to `into`.
class ProfileScope {
public:
    explicit ProfileScope(OperationTime& into) : into_(into), start_(std::chrono::steady_clock::now()) {}
    ~ProfileScope() {
        ++into_.calls;
        into_.nanoseconds += std::chrono::duration_cast<std::chrono::nanoseconds>(
                                 std::chrono::steady_clock::now() - start_).count();
    }

private:
    OperationTime& into_;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace zrv::engine
