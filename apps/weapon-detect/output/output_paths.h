// Which paths a run may write: never a file the run reads, never one file twice.
#pragma once

#include <string>
#include <vector>

#include "settings.h"

namespace weapon_detect {

// Adds every file the run will read (the site config, the module, the model folders, the
// inputs and their frames, the ground truths) to ProtectedFiles(), so that no output
// replaces one.
void ProtectReadFiles(const Options& options, const std::vector<CameraConfig>& cameras);

// Throws std::runtime_error when an output names a file the run reads ("output X is the
// input Y, which this run reads and never writes") or the same file as an earlier output,
// under any spelling or link ("output X is given twice").
void RefuseClashingPaths(const std::vector<std::string>& outputs);

// Makes the snapshot folder (and its parents) unless it exists. Throws std::runtime_error
// naming the folder and what is wrong: a link to nothing, a file that is not a folder, or the
// system's reason.
void MakeSnapshotFolder(const std::string& folder);

}  // namespace weapon_detect
