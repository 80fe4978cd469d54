// Sends one file descriptor to another for the life of the object, for libraries that
// write on the standard streams directly.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace weapon_detect {

class ScopedRedirect {
public:
    // Writes to `fd` go to `target` until destruction.
    ScopedRedirect(int fd, int target) : fd_(fd) {
        Flush();
        saved_ = dup(fd_);
        if (saved_ >= 0) dup2(target, fd_);
    }
    ~ScopedRedirect() {
        Flush();
        if (saved_ >= 0) {
            dup2(saved_, fd_);
            close(saved_);
        }
    }
    ScopedRedirect(const ScopedRedirect&) = delete;
    ScopedRedirect& operator=(const ScopedRedirect&) = delete;

private:
    static void Flush() {
        std::cout.flush();
        std::cerr.flush();
        std::fflush(nullptr);
    }
    int fd_;
    int saved_ = -1;
};

}  // namespace weapon_detect
