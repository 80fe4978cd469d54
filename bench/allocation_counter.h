// Counts heap allocations, so that a benchmark can report them per frame. Include it in one
// file of a benchmark program only: it replaces the program's operator new and delete.
#pragma once

#include <atomic>
#include <cstdlib>
#include <new>

#include <benchmark/benchmark.h>

inline std::atomic<long long> g_allocations{0};

// This operator new takes its memory from malloc, so free is the matching release (the
// compiler cannot see that pairing).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    ++g_allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

// Reports the heap allocations made per iteration of the timed loop.
class AllocationCounter {
public:
    explicit AllocationCounter(benchmark::State& state) : state_(state), start_(g_allocations) {}
    ~AllocationCounter() {
        if (state_.iterations() > 0) {
            state_.counters["allocs/frame"] =
                static_cast<double>(g_allocations - start_) / static_cast<double>(state_.iterations());
        }
    }

private:
    benchmark::State& state_;
    long long start_;
};
