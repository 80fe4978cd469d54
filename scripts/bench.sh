#!/usr/bin/env bash
# Builds optimised and runs the benchmarks: the engine's backends side by side (load, engine
# call, OpenVINO's bare inference, conversion in the graph against our own blob) beside
# OpenVINO's own benchmark_app, sixteen cameras in one host program, single engine passes and
# the plug-in on the demo scene (Google Benchmark), the plug-in's own work with an engine that
# answers at once, and the strategy comparison with its ratios. Generates the realistic-cost detectors (random
# weights; Debian's python3-torch) into build-bench/cost-models when missing. Figures depend
# on the machine; compare runs on the same one.
# Usage: scripts/bench.sh [LONG-RUN-FRAMES]   (default 10000)
#        scripts/bench.sh capacity [OPTIONS]   the capacity benchmark alone (scripts/bench-capacity.sh)
#        scripts/bench.sh precision [FRAMES] [ROUNDS]   (scripts/bench-precision.sh: f32, bf16,
#        auto and INT8 on a real trained detector)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = capacity ]; then
  shift
  exec scripts/bench-capacity.sh "$@"
fi
if [ "${1:-}" = precision ]; then
  shift
  exec scripts/bench-precision.sh "$@"
fi
scripts/install-deps.sh bench
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DZRV_BUILD_TESTS=OFF -DZRV_BUILD_BENCHMARKS=ON >/dev/null
cmake --build build-bench -j "$(nproc)" --target engine_bench own_work_bench strategy_bench backend_bench weapon-detect
models=build-bench/cost-models
if [ ! -f "$models/anchor_free_640.onnx" ] || [ ! -f "$models/objectness_640.onnx" ]; then
  /usr/bin/python3 tools/generate_cost_models.py "$models" 320 640
fi
costs=(objectness_320 anchor_free_320 objectness_640 anchor_free_640)
echo "== Backends, 32-bit floats (the default)"
build-bench/bench/backend_bench "$models" "${costs[@]}"
echo "== Backends, the runtime's own precision (ZRV_ENGINE_PRECISION=auto: bfloat16 where the CPU has it)"
ZRV_ENGINE_PRECISION=auto build-bench/bench/backend_bench "$models" "${costs[@]}"
echo "== OpenVINO's benchmark_app, latency hint, the same models (the hardware's limit)"
for precision in f32 auto; do
  for model in "${costs[@]}"; do
    args=()
    [ "$precision" = f32 ] && args=(-infer_precision f32)
    median=$(.deps/openvino/bin/benchmark_app -m "$models/$model.onnx" -d CPU -hint latency -t 10 "${args[@]}" 2>&1 |
             sed -n 's/.*Median: *//p')
    echo "benchmark_app $model ($precision): median latency $median"
  done
done

echo "== Sixteen cameras on the 640 models in one weapon-detect"
scratch=$(mktemp -d); trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/models"
cp "$models/anchor_free_640.onnx" "$scratch/models/train_last.onnx"
cp "$models/objectness_640.onnx" "$scratch/models/filter.onnx"
echo handgun > "$scratch/models/classes.names"; echo person > "$scratch/models/filter.names"
build-bench/bin/weapon-detect --demo --max-frames 1 -q --output-dir "$scratch/demo" >/dev/null
cameras=(); for i in $(seq 1 16); do cameras+=("$scratch/demo/demo_scene.avi" --camera-id "cam$i"); done
/usr/bin/time -f "16 cameras, 640 models, 10 frames each: peak resident memory %M kB" \
  build-bench/bin/weapon-detect "${cameras[@]}" --models "$scratch/models" --max-frames 10 -q -o "$scratch/out.jsonl" 2>&1 |
  grep -v "^CPU detected"

build-bench/bench/engine_bench --benchmark_min_time=2
build-bench/bench/own_work_bench --benchmark_min_time=1
# Peak memory of the host program on the 1080p demo.
demo=$scratch/demo-peak
/usr/bin/time -f "host program on the 1080p demo: peak resident memory %M kB" \
  build-bench/bin/weapon-detect --demo --quiet --output-dir "$demo" >/dev/null
build-bench/bench/strategy_bench "$models" "${1:-10000}"
