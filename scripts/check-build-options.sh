#!/usr/bin/env bash
# Every combination of ZRV_BUILD_TESTS, ZRV_BUILD_APPS and ZRV_BUILD_BENCHMARKS configures,
# and the two that leave the host program out build: the libraries alone, and the libraries
# with their tests (whose test list must then name no test of the host program). Each
# combination has its tree in build-options/, kept so that a later run redoes only what
# changed; a failure shows that tree's log.
# Usage: scripts/check-build-options.sh
set -euo pipefail
cd "$(dirname "$0")/.."
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi

tree() {  # TESTS APPS BENCHMARKS
  echo "build-options/tests-$1-apps-$2-benchmarks-$3"
}
fail() {  # LOG MESSAGE
  tail -n 60 "$1"
  echo "$2" >&2
  exit 1
}

for tests in ON OFF; do
  for apps in ON OFF; do
    for benchmarks in ON OFF; do
      dir=$(tree $tests $apps $benchmarks)
      options="ZRV_BUILD_TESTS=$tests ZRV_BUILD_APPS=$apps ZRV_BUILD_BENCHMARKS=$benchmarks"
      echo "configuring $options"
      mkdir -p "$dir"
      # Debug: nothing optimised, the quickest to compile.
      cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug "${launcher[@]}" -DZRV_BUILD_TESTS=$tests \
        -DZRV_BUILD_APPS=$apps -DZRV_BUILD_BENCHMARKS=$benchmarks > "$dir/configure.log" 2>&1 ||
        fail "$dir/configure.log" "$options does not configure"
    done
  done
done

for combination in "OFF OFF OFF" "ON OFF OFF"; do
  # shellcheck disable=SC2086
  dir=$(tree $combination)
  echo "building $dir"
  cmake --build "$dir" -j "$(nproc)" > "$dir/build.log" 2>&1 || fail "$dir/build.log" "$dir does not build"
done
tests=$(ctest --test-dir "$(tree ON OFF OFF)" -N)
if grep -Eq 'WeaponDetectTest|weapon_detect|consumer_build|debian_package' <<< "$tests"; then
  echo "$tests" | grep -E 'WeaponDetectTest|weapon_detect|consumer_build|debian_package'
  echo "tests of the host program in a tree without it" >&2
  exit 1
fi
echo "build options: ok ($(grep -c 'Test *#' <<< "$tests") tests without the host program)"
