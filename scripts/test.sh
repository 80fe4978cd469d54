#!/usr/bin/env bash
# Builds and runs every test: the format of the lines the last change touched, every
# combination of the build options, once in a normal build (the Debian package included),
# once under AddressSanitizer and UndefinedBehaviorSanitizer, the concurrency tests under
# ThreadSanitizer, and each fuzz target for a bounded time. The normal build treats a warning
# as an error.
#   scripts/test.sh           everything (what CI runs)
#   scripts/test.sh --quick   for daily work: the format, then the unit and engine tests of
#                             the normal build (a few minutes once the build is there)
set -euo pipefail
cd "$(dirname "$0")/.."
quick=false
case "${1:-}" in
  "") ;;
  --quick) quick=true ;;
  *) echo "usage: scripts/test.sh [--quick]" >&2; exit 2 ;;
esac
scripts/install-deps.sh test

scripts/check-format.sh
jobs=$(nproc)
if $quick; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZRV_WERROR=ON >/dev/null
  cmake --build build -j "$jobs"
  ctest --test-dir build --output-on-failure -j "$jobs" -L 'unit|engine'
  exit 0
fi
scripts/check-build-options.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZRV_WERROR=ON -DZRV_TEST_DEB_PACKAGE=ON >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZRV_SANITIZE=ON >/dev/null
cmake --build build-sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  LSAN_OPTIONS=suppressions=$PWD/tests/support/lsan.supp \
  ctest --test-dir build-sanitize --output-on-failure -j "$jobs"

# Threads: the concurrency tests and the host program with several cameras.
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZRV_SANITIZE_THREAD=ON >/dev/null
cmake --build build-tsan -j "$jobs" --target concurrency_tests engine_concurrency_tests weapon_detect_tests site_parts_tests weapon-detect \
  ZRVCustomWeaponDetection
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --test-dir build-tsan -L threads --output-on-failure

# Fuzzing: each libFuzzer target replays its corpus, then explores for a bounded time.
scripts/fuzz.sh 12
