#!/usr/bin/env bash
# Checks that the C++ lines a change touches follow .clang-format; lines nobody touched keep
# their shape. The change: from BASE to the working tree. BASE by default is where the branch
# left origin/main (or main) or, on main itself (CI's clean clone), the commit before the last
# one; a checkout without either (no git, a single commit) is skipped.
# Usage: scripts/check-format.sh [BASE]
# Fix what it shows: git clang-format BASE
set -euo pipefail
cd "$(dirname "$0")/.."
if ! git rev-parse --verify -q HEAD >/dev/null 2>&1; then
  echo "format check: not a git checkout: skipped"
  exit 0
fi
base=${1:-}
if [ -z "$base" ]; then
  for main in origin/main main; do
    fork=$(git merge-base HEAD "$main" 2>/dev/null || true)
    if [ -n "$fork" ] && [ "$fork" != "$(git rev-parse HEAD)" ]; then
      base=$fork
      break
    fi
  done
fi
if [ -z "$base" ]; then
  if ! git rev-parse --verify -q HEAD~1 >/dev/null; then
    echo "format check: no earlier commit to compare with: skipped"
    exit 0
  fi
  base=HEAD~1
fi
# git clang-format exits 0 whatever it finds; a diff in its output is the finding.
report=$(git clang-format --diff --extensions cpp,h "$base" --)
if grep -q '^diff --git' <<< "$report"; then
  echo "$report"
  echo "format check: the lines above, changed since $(git rev-parse --short "$base"), do not follow .clang-format" >&2
  echo "(git clang-format $(git rev-parse --short "$base") fixes them)" >&2
  exit 1
fi
echo "format check: ok (changes since $(git rev-parse --short "$base"))"
