// The lock that guards the stored parameter lists of one detector. The host interface's
// layout has no room for a mutex, so the lock is one of a fixed set, chosen by the
// object's address: SetParameters (in the base class) and Initialize (which empties the
// lists) take the same one.
#pragma once

#include <mutex>

namespace zrv::detector {

std::mutex& ParamsLockFor(const void* object);

}  // namespace zrv::detector
