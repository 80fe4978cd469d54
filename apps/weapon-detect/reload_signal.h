// SIGHUP: load the page's TLS certificate and key again. The signal handler
// raises ReloadSignal; a ReloadWatch (made by the site services when the page serves TLS)
// calls its reload on a thread of its own, so the analysis and open connections go on.
#pragma once

#include <functional>
#include <thread>

namespace weapon_detect {

class ReloadSignal {
public:
    // The process's one; made (by main) before a signal handler may raise it. Throws
    // std::system_error when its pipe cannot be made.
    static ReloadSignal& Process();
    // Async-signal-safe: a byte into a non-blocking pipe (a full pipe already holds a request).
    void Raise() noexcept;
    // Readable while a request is pending.
    int fd() const { return read_; }

private:
    ReloadSignal();
    int read_ = -1, write_ = -1;
};

class ReloadWatch {
public:
    // Calls `reload` on its own thread after each ReloadSignal raised since (requests that
    // arrive during one reload make one more). One watch in a process at a time. Throws
    // std::system_error when it cannot start.
    explicit ReloadWatch(std::function<void()> reload);
    // Returns once a reload under way ended.
    ~ReloadWatch();
    ReloadWatch(const ReloadWatch&) = delete;
    ReloadWatch& operator=(const ReloadWatch&) = delete;

private:
    void Watch();

    std::function<void()> reload_;
    int stop_ = -1;  // eventfd
    std::thread thread_;
};

}  // namespace weapon_detect
