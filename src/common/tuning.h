// Numbers the detector and the engine must agree on. Both sides include this header so
// that a change on one side cannot silently break the other.
#pragma once

namespace zrv::tuning {

// Model-type codes the detector passes to LoadModelFromFolder: the GPU code for both models
// when the engine reports an NVIDIA GPU (GetEngineType() == 1), else one CPU code per model.
// Both engine backends run on the CPU: they accept the codes and do not use them.
inline constexpr int kModelTypeGpu = 4;
inline constexpr int kModelTypeCpuWeapon = 5;
inline constexpr int kModelTypeCpuPerson = 17;

// While searching, the detector locks on to candidates scoring strictly above
// min(kCandidateFloorCap, threshold); a score equal to that floor does not lock on.
inline constexpr float kCandidateFloorCap = 0.35f;
// The engine keeps candidates scoring at least max(0.001, min(threshold, kEngineScoreCap))
// and drops the rest before suppression.
inline constexpr float kEngineScoreCap = 0.25f;
static_assert(kEngineScoreCap <= kCandidateFloorCap,
              "the engine must not cut candidates the detector would lock on to");

}  // namespace zrv::tuning
