#!/usr/bin/env bash
# The engine's arithmetic measured on a real trained detector (the person model that
# scripts/install-deps.sh bench installs) and on OpenCV's pedestrian clip:
#   1. time per engine call and agreement with f32 (boxes matched at IoU >= 0.9, same class, at
#      scores 0.25 and 0.5) for f32, bf16 and auto, and for INT8 where tools/quantize_model.py
#      is there (it quantises the model on the clip's frames first), rounds interleaved, medians;
#   2. the same times at 320 on the realistic-cost 320 model (random weights: its boxes say
#      nothing, only its time counts);
#   3. OpenVINO's benchmark_app on the same models in f32 and bf16 (the hardware's limit);
#   4. the plug-in end to end: weapon-detect on the clip with the real model in both slots,
#      frames per second per precision, rounds interleaved.
# Usage: scripts/bench.sh precision [FRAMES] [ROUNDS]   (default 60 frames, 3 rounds)
set -euo pipefail
cd "$(dirname "$0")/.."
frames=${1:-60}
rounds=${2:-3}
scripts/install-deps.sh bench
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DZRV_BUILD_TESTS=OFF -DZRV_BUILD_BENCHMARKS=ON >/dev/null
cmake --build build-bench -j "$(nproc)" --target frame_boxes weapon-detect ZRVCustomWeaponDetection
model=$(sed -n 's/^ZRV_REAL_MODEL:FILEPATH=//p' build-bench/CMakeCache.txt)
clip=$(sed -n 's/^ZRV_PEDESTRIAN_CLIP:FILEPATH=//p' build-bench/CMakeCache.txt)
python=.deps/models/bin/python
costs=build-bench/cost-models
if [ ! -f "$costs/anchor_free_320.onnx" ]; then
  /usr/bin/python3 tools/generate_cost_models.py "$costs" 320 640
fi
scratch=$(mktemp -d); trap 'rm -rf "$scratch"' EXIT

extra=()
if [ -f tools/quantize_model.py ]; then
  echo "== INT8: tools/quantize_model.py on the clip's frames (no agreement floor: it is measured here)"
  if "$python" tools/quantize_model.py "$model" "$clip" "$scratch/int8.onnx" --min-agreement 0; then
    extra=(--extra "int8=$scratch/int8.onnx")
  fi
else
  echo "== INT8: tools/quantize_model.py is not there; no INT8 row"
fi

echo "== The real person model at 640: engine calls and agreement with f32"
"$python" tools/real_model_decode.py precision build-bench/frame_boxes "$model" "$clip" --frames "$frames" \
  --rounds "$rounds" --precisions f32,bf16,auto "${extra[@]}"
echo "== The realistic-cost anchor-free model at 320 (random weights: only the times count)"
"$python" tools/real_model_decode.py precision build-bench/frame_boxes "$costs/anchor_free_320.onnx" "$clip" \
  --frames "$frames" --rounds "$rounds" --precisions f32,bf16,auto --classes 1

echo "== OpenVINO's benchmark_app, latency hint (median latency)"
for m in "$model" "$costs/anchor_free_320.onnx" ${extra:+"$scratch/int8.onnx"}; do
  for p in f32 bf16; do
    median=$(.deps/openvino/bin/benchmark_app -m "$m" -d CPU -hint latency -t 10 -infer_precision "$p" 2>&1 |
             sed -n 's/.*Median: *//p')
    echo "benchmark_app $(basename "$m") ($p): median latency $median"
  done
done

echo "== The plug-in end to end: weapon-detect on $(basename "$clip") ($frames frames), the real model in both slots"
mkdir "$scratch/models"
ln -s "$(realpath "$model")" "$scratch/models/train_last.onnx"
ln -s "$(realpath "$model")" "$scratch/models/filter.onnx"
printf 'Normal\nFall\n' > "$scratch/models/classes.names"
cp "$scratch/models/classes.names" "$scratch/models/filter.names"
declare -A fps
for round in $(seq 1 "$rounds"); do
  for p in f32 bf16 auto; do
    line=$(build-bench/bin/weapon-detect "$clip" --models "$scratch/models" --engine-precision "$p" \
             --max-frames "$frames" -o "$scratch/out.jsonl" 2>&1 >/dev/null | tr '\r' '\n' | grep -E '^Processed' || true)
    fps[$p]+="$(sed -n 's/.*(\([0-9.]*\) fps).*/\1/p' <<<"$line") "
  done
done
for p in f32 bf16 auto; do
  echo "weapon-detect --engine-precision $p: fps per round ${fps[$p]}(median $(tr ' ' '\n' <<<"${fps[$p]}" |
    grep . | sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'))"
done
