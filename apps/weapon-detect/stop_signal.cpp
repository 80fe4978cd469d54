#include "stop_signal.h"

#include <cerrno>
#include <ctime>
#include <system_error>

namespace weapon_detect {

StopSignal::StopSignal() {
    if (sem_init(&wakeUps_, 0, 0) != 0) throw std::system_error(errno, std::generic_category(), "sem_init");
}

StopSignal::~StopSignal() { sem_destroy(&wakeUps_); }

void StopSignal::Raise() noexcept {
    raised_ = true;
    sem_post(&wakeUps_);
}

void StopSignal::Wake() noexcept { sem_post(&wakeUps_); }

bool StopSignal::WaitUntil(std::chrono::steady_clock::time_point deadline) {
    using std::chrono::steady_clock;
    if (deadline == steady_clock::time_point::max()) {
        // EINTR (a signal arrived) counts as woken: the caller looks again.
        sem_wait(&wakeUps_);
        return true;
    }
    // steady_clock is CLOCK_MONOTONIC here; sem_clockwait takes that clock's absolute time,
    // so a change of the wall clock does not move the deadline.
    const auto sinceEpoch = deadline.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch);
    timespec at{};
    at.tv_sec = static_cast<time_t>(seconds.count());
    at.tv_nsec = static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch - seconds).count());
    if (sem_clockwait(&wakeUps_, CLOCK_MONOTONIC, &at) == 0) return true;
    return errno != ETIMEDOUT;
}

}  // namespace weapon_detect
