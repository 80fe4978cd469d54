// The zero-cost engine's one setting: whether the weapon model reports a weapon.
#pragma once

#include "zrv/ZRVLIB.h"

namespace zero_cost {
struct Answers {
    bool weapon = false;  // false: every frame is a search step; true: the area is tracked
};
Answers& answers();
}  // namespace zero_cost
