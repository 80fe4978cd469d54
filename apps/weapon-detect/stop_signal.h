// The run's stop: raised from a signal handler (Ctrl-C, SIGTERM) and read by every
// thread of the run, with a wake-up so that the main thread sleeps until something happens
// instead of polling.
#pragma once

#include <semaphore.h>

#include <atomic>
#include <chrono>

namespace weapon_detect {

class StopSignal {
public:
    // Throws std::system_error when the semaphore behind the wake-ups cannot be made.
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    // Stops the run and wakes the waiter. Async-signal-safe (an atomic store and
    // sem_post), so a signal handler may call it.
    void Raise() noexcept;
    // Wakes the waiter without stopping: something it waits for may have happened (a
    // worker ended). Any thread; wake-ups are counted, never lost.
    void Wake() noexcept;

    bool raised() const noexcept { return raised_.load(); }
    // The flag the workers and inputs poll between frames.
    const std::atomic<bool>& flag() const noexcept { return raised_; }

    // Sleeps until a Raise or Wake (also one from before the call) or until `deadline`
    // (time_point::max() for none). True when woken, false at the deadline. A waiter
    // checks what it waits for again after each return: wake-ups may be for others.
    bool WaitUntil(std::chrono::steady_clock::time_point deadline);

private:
    std::atomic<bool> raised_{false};
    sem_t wakeUps_;
};

}  // namespace weapon_detect
