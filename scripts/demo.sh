#!/usr/bin/env bash
# Builds the plug-in, the engine and the host program, then runs the synthetic demo scene:
# the annotated video, the JSON Lines and the alarm snapshots land in out/demo/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target weapon-detect
build/bin/weapon-detect --demo --output-dir out/demo "$@"
