// Numbers the detector and the engine must agree on. Both sides include this header so
// that a change on one side cannot silently break the other.
#pragma once

namespace zrv::tuning {

// Model-type codes the detector passes to LoadModelFromFolder. The engine treats the GPU
// code as a request for its CUDA back end; every other code runs on the CPU.
inline constexpr int kModelTypeGpu = 4;
inline constexpr int kModelTypeCpuWeapon = 5;
inline constexpr int kModelTypeCpuPerson = 17;

// While searching, the detector locks on to candidates scoring at least
// min(kCandidateFloorCap, threshold).
inline constexpr float kCandidateFloorCap = 0.35f;
// The engine drops candidates below min(threshold, kEngineScoreCap) before suppression.
inline constexpr float kEngineScoreCap = 0.25f;
static_assert(kEngineScoreCap <= kCandidateFloorCap,
              "the engine must not cut candidates the detector would lock on to");

}  // namespace zrv::tuning
