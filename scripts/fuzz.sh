#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each from its committed seed corpus;
# fails on any finding.
#   scripts/fuzz.sh            # the check run by scripts/test.sh: a fixed seed and a fixed
#                              # number of runs per target, so a commit passes or fails the
#                              # same way every time (about 10 s per target)
#   scripts/fuzz.sh 3600       # exploration: random seed, an hour per target
#   build-fuzz/fuzz/detector_stream_fuzzer my-corpus fuzz/corpus/detector_stream
# A finding is written to build-fuzz/findings/; once mended, add it to the target's corpus
# so that every later check replays it.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-}
# Runs per target for the fixed check, sized to about 10 s each on a 2-core machine.
declare -A check_runs=([detector_stream]=100000 [class_file]=400000 [model_output]=80000
                       [onnx_input]=200000 [json_records]=200000)
targets=(detector_stream class_file model_output onnx_input json_records)
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZRV_FUZZ=ON \
  -DZRV_BUILD_TESTS=OFF -DZRV_BUILD_APPS=OFF >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target "${targets[@]/%/_fuzzer}"
mkdir -p build-fuzz/findings
for t in "${targets[@]}"; do
  if [[ -n "$seconds" ]]; then
    budget=(-max_total_time="$seconds")
    echo "fuzzing $t for ${seconds} s"
  else
    # The time cap only guards a very slow machine; the run count ends the check.
    budget=(-seed=1 -runs="${check_runs[$t]}" -max_total_time=120)
    echo "fuzzing $t: seed 1, ${check_runs[$t]} runs"
  fi
  work=$(mktemp -d)
  # New inputs go to the scratch folder; the committed seeds stay as they are.
  if ! build-fuzz/fuzz/${t}_fuzzer "$work" "fuzz/corpus/$t" "${budget[@]}" -timeout=20 \
       -rss_limit_mb=4096 -print_final_stats=0 -artifact_prefix="build-fuzz/findings/${t}-" 2> "$work.log"; then
    tail -n 60 "$work.log"
    echo "fuzzer $t found a failure; the input is in build-fuzz/findings/" >&2
    rm -rf "$work" "$work.log"
    exit 1
  fi
  grep -E '^#[0-9]+ +DONE' "$work.log" || tail -n 1 "$work.log"
  rm -rf "$work" "$work.log"
done
