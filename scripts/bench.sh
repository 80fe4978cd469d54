#!/usr/bin/env bash
# Builds optimised and runs the benchmarks: single engine passes and the plug-in on the demo
# scene (Google Benchmark), the plug-in's own work with an engine that answers at once, and
# the strategy comparison with its ratios. Generates the realistic-cost detectors (random
# weights; Debian's python3-torch) into build-bench/cost-models when missing. Figures depend
# on the machine; compare runs on the same one.
# Usage: scripts/bench.sh [LONG-RUN-FRAMES]   (default 10000)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DZRV_BUILD_TESTS=OFF -DZRV_BUILD_BENCHMARKS=ON >/dev/null
cmake --build build-bench -j "$(nproc)" --target engine_bench own_work_bench strategy_bench weapon-detect
models=build-bench/cost-models
if [ ! -f "$models/anchor_free_640.onnx" ] || [ ! -f "$models/objectness_640.onnx" ]; then
  /usr/bin/python3 tools/generate_cost_models.py "$models" 320 640
fi
build-bench/bench/engine_bench --benchmark_min_time=2
build-bench/bench/own_work_bench --benchmark_min_time=1
# Peak memory of the host program on the 1080p demo.
demo=$(mktemp -d); trap 'rm -rf "$demo"' EXIT
/usr/bin/time -f "host program on the 1080p demo: peak resident memory %M kB" \
  build-bench/bin/weapon-detect --demo --quiet --output-dir "$demo" >/dev/null
build-bench/bench/strategy_bench "$models" "${1:-10000}"
