#include "reload_signal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace weapon_detect {

ReloadSignal& ReloadSignal::Process() {
    static ReloadSignal signal;
    return signal;
}

ReloadSignal::ReloadSignal() {
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
    read_ = fds[0];
    write_ = fds[1];
}

void ReloadSignal::Raise() noexcept {
    const int saved = errno;  // a handler must leave errno as it found it
    const char one = 1;
    [[maybe_unused]] const ssize_t n = ::write(write_, &one, 1);
    errno = saved;
}

ReloadWatch::ReloadWatch(std::function<void()> reload) : reload_(std::move(reload)) {
    ReloadSignal::Process();
    stop_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (stop_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    try {
        thread_ = std::thread([this] { Watch(); });
    } catch (...) {
        close(stop_);
        throw;
    }
}

ReloadWatch::~ReloadWatch() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(stop_, &one, sizeof one);
    thread_.join();
    close(stop_);
}

void ReloadWatch::Watch() {
    const int signal = ReloadSignal::Process().fd();
    for (;;) {
        pollfd p[2] = {{stop_, POLLIN, 0}, {signal, POLLIN, 0}};
        if (poll(p, 2, -1) < 0) continue;  // EINTR
        if (p[0].revents) return;
        if (!p[1].revents) continue;
        // Every request so far is answered by the one reload after it.
        char drained[64];
        while (::read(signal, drained, sizeof drained) > 0) {
        }
        reload_();
    }
}

}  // namespace weapon_detect
