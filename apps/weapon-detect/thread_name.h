// Names the calling thread as ps, top and /proc/PID/task/TID/comm show it, so that the CPU
// time of each kind of thread can be told apart (scripts/bench-capacity.sh splits it by these
// names). Threads that a named thread starts, such as a video decoder's own, inherit its name.
#pragma once

#include <pthread.h>

#include <string>

namespace weapon_detect {

// Names longer than 15 bytes are cut to 15, the most the kernel keeps.
inline void NameThisThread(std::string name) {
    if (name.size() > 15) name.resize(15);
    // A name is only a label: a thread that cannot be named works the same.
    (void)pthread_setname_np(pthread_self(), name.c_str());
}

}  // namespace weapon_detect
