// The person side of confirmation, as free functions over the person model's answer, so
// that the exported detector class gains no members for them. Boxes in full-frame pixels.
#pragma once

#include <vector>

#include "zrv/ZRVLIB.h"

namespace zrv::detector {

// Whether the confirmation rule treats a frame as having persons in view: some person was
// found, or there is no person model to ask (then every candidate is accepted).
inline bool PersonsPresent(const std::vector<ZORAVELIN::Object>& persons, bool hasPersonModel) {
    return !persons.empty() || !hasPersonModel;
}

// True when more than `threshold` of the weapon box's own area lies inside some person
// box; false for a weapon box without area. A weapon is far smaller than the person holding
// it, so intersection over union would miss a weapon held wholly inside a person's box.
bool IsHeldByPerson(const ZORAVELIN::Object& weapon, const std::vector<ZORAVELIN::Object>& persons,
                    float threshold);

}  // namespace zrv::detector
