// The engine's twelve-argument load call, as the tests and benchmarks make it.
#pragma once

#include <string>

#include "common/tuning.h"
#include "zrv/ZRVLIB.h"

namespace zrv::testing {

// Loads <folder>/<model>.onnx with its class file the way the detector does on the CPU
// path; returns the engine's result code.
inline int LoadModel(ZORAVELIN::ZRVLIB& engine, const std::string& folder, const std::string& model,
                     const std::string& classes, std::string& labels, float threshold = 0.5f,
                     bool loadEngineOnCreate = false) {
    return engine.LoadModelFromFolder("", model.c_str(), classes.c_str(), threshold, 0.5f, 0.5f, 1,
                                      tuning::kModelTypeCpuWeapon, 1, loadEngineOnCreate ? 1 : 0,
                                      folder.c_str(), labels);
}

}  // namespace zrv::testing
