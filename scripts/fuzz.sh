#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, replays each target's committed corpus (the seeds
# and every past finding) and explores from it for a bounded time (seconds per target,
# default 12); fails on any finding. To fuzz longer:
#   scripts/fuzz.sh 3600            # an hour per target
#   build-fuzz/fuzz/detector_stream_fuzzer my-corpus fuzz/corpus/detector_stream
# A finding is written to build-fuzz/findings/; once mended, add it to the target's corpus
# so that every later run replays it.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-12}
targets=(detector_stream class_file model_output onnx_input json_records site_config ground_truth)
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZRV_FUZZ=ON \
  -DZRV_BUILD_TESTS=OFF -DZRV_BUILD_APPS=OFF >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target "${targets[@]/%/_fuzzer}"
mkdir -p build-fuzz/findings
for t in "${targets[@]}"; do
  work=$(mktemp -d)
  echo "fuzzing $t for ${seconds} s"
  # New inputs go to the scratch folder; the committed corpus stays as it is.
  if ! build-fuzz/fuzz/${t}_fuzzer "$work" "fuzz/corpus/$t" -max_total_time="$seconds" -timeout=20 \
       -rss_limit_mb=4096 -print_final_stats=0 -artifact_prefix="build-fuzz/findings/${t}-" 2> "$work.log"; then
    tail -n 60 "$work.log"
    echo "fuzzer $t found a failure; the input is in build-fuzz/findings/" >&2
    rm -rf "$work" "$work.log"
    exit 1
  fi
  grep -E '^#[0-9]+ +DONE' "$work.log" || tail -n 1 "$work.log"
  rm -rf "$work" "$work.log"
done
