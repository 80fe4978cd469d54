#!/usr/bin/env bash
# Builds the plug-in module and lists what it exports.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"
module=$(find build -name 'libZRVCustomWeaponDetection*.so' | head -n 1)
echo "Exported functions of $module:"
nm -D --defined-only "$module" | awk '$2 == "T" {print $3}' | grep -vE '^_Z' || true
